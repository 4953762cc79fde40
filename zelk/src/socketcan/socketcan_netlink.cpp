// rtnetlink requests for CAN interfaces: one socket per request, a fixed
// buffer, every wait bounded.
#include "socketcan_netlink.h"

#include "core/backend.h"

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

namespace zk_socketcan {

namespace {

constexpr int kReplyWaitMs = 1000;

// A request under construction: header, ifinfomsg, attributes.
struct request {
    alignas(nlmsghdr) char buf[512];
    nlmsghdr *h = reinterpret_cast<nlmsghdr *>(buf);

    request(uint16_t type, uint16_t flags, int ifindex)
    {
        memset(buf, 0, sizeof buf);
        h->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
        h->nlmsg_type = type;
        h->nlmsg_flags = uint16_t(NLM_F_REQUEST | flags);
        h->nlmsg_seq = 1;
        ifi()->ifi_family = AF_UNSPEC;
        ifi()->ifi_index = ifindex;
    }
    ifinfomsg *ifi() { return static_cast<ifinfomsg *>(NLMSG_DATA(h)); }
    rtattr *add(uint16_t type, const void *data, size_t len)
    {
        rtattr *a = reinterpret_cast<rtattr *>(buf + NLMSG_ALIGN(h->nlmsg_len));
        a->rta_type = type;
        a->rta_len = uint16_t(RTA_LENGTH(len));
        if (len) memcpy(RTA_DATA(a), data, len);
        h->nlmsg_len = NLMSG_ALIGN(h->nlmsg_len) + RTA_ALIGN(a->rta_len);
        return a;
    }
    void end(rtattr *nest) { nest->rta_len = uint16_t(buf + h->nlmsg_len - reinterpret_cast<char *>(nest)); }
};

class nl_socket {
public:
    nl_socket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE))
    {
        if (fd_ < 0) return;
        const int one = 1;
        setsockopt(fd_, SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
        setsockopt(fd_, SOL_NETLINK, NETLINK_CAP_ACK, &one, sizeof one);
    }
    ~nl_socket()
    {
        if (fd_ >= 0) close(fd_);
    }
    // Sends the request and reads its answer into reply. Returns the
    // answer's length, or a negative errno.
    int exchange(request &rq, char *reply, size_t size)
    {
        if (fd_ < 0) return -errno;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (sendto(fd_, rq.buf, rq.h->nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel),
                   sizeof kernel) < 0)
            return -errno;
        pollfd p{fd_, POLLIN, 0};
        int r;
        while ((r = poll(&p, 1, kReplyWaitMs)) < 0 && errno == EINTR) {}
        if (r == 0) return -ETIMEDOUT;
        if (r < 0) return -errno;
        const ssize_t n = recv(fd_, reply, size, 0);
        return n < 0 ? -errno : int(n);
    }

private:
    int fd_;
};

void parse_can(const rtattr *data, int len, link_info *out)
{
    for (const rtattr *a = data; RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        const void *v = RTA_DATA(a);
        const size_t n = RTA_PAYLOAD(a);
        switch (a->rta_type) {
        case IFLA_CAN_BITTIMING:
            if (n >= sizeof(can_bittiming)) {
                memcpy(&out->bt, v, sizeof out->bt);
                out->has_bittiming = true;
            }
            break;
        case IFLA_CAN_DATA_BITTIMING:
            if (n >= sizeof(can_bittiming)) {
                memcpy(&out->dbt, v, sizeof out->dbt);
                out->has_data_bittiming = true;
            }
            break;
        case IFLA_CAN_DATA_BITTIMING_CONST: out->has_data_timing_const = true; break;
        case IFLA_CAN_BITTIMING_CONST: out->has_timing_const = true; break;
        case IFLA_CAN_BITRATE_CONST: out->has_bitrate_const = true; break;
        case IFLA_CAN_CTRLMODE:
            if (n >= sizeof(can_ctrlmode)) out->ctrlmode = static_cast<const can_ctrlmode *>(v)->flags;
            break;
        case IFLA_CAN_STATE:
            if (n >= 4) {
                memcpy(&out->state, v, 4);
                out->has_state = true;
            }
            break;
        case IFLA_CAN_BERR_COUNTER:
            if (n >= sizeof(can_berr_counter)) {
                const auto *b = static_cast<const can_berr_counter *>(v);
                out->txerr = b->txerr;
                out->rxerr = b->rxerr;
                out->has_berr = true;
            }
            break;
        default: break;
        }
    }
}

// The error of an acknowledgement, with the kernel's message.
int ack_error(const nlmsghdr *h, int len, char *msg, size_t msg_size)
{
    if (msg && msg_size) msg[0] = '\0';
    if (!NLMSG_OK(h, len) || h->nlmsg_type != NLMSG_ERROR ||
        h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
        return -EPROTO;
    const auto *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
    if (e->error && msg && msg_size && (h->nlmsg_flags & NLM_F_ACK_TLVS)) {
        int alen = int(h->nlmsg_len - NLMSG_LENGTH(sizeof(nlmsgerr)));
        const auto *a = reinterpret_cast<const rtattr *>(reinterpret_cast<const char *>(e) + sizeof *e);
        for (; RTA_OK(a, alen); a = RTA_NEXT(a, alen))
            if (a->rta_type == NLMSGERR_ATTR_MSG) {
                const size_t n = RTA_PAYLOAD(a);
                zk::copy_text(msg, n + 1 < msg_size ? n + 1 : msg_size, static_cast<const char *>(RTA_DATA(a)));
            }
    }
    return e->error;
}

}  // namespace

int link_get(int ifindex, link_info *out)
{
    *out = link_info{};
    nl_socket s;
    request rq(RTM_GETLINK, 0, ifindex);
    alignas(nlmsghdr) static thread_local char reply[16384];
    const int len = s.exchange(rq, reply, sizeof reply);
    if (len < 0) return len;
    const auto *h = reinterpret_cast<const nlmsghdr *>(reply);
    if (!NLMSG_OK(h, len)) return -EPROTO;
    if (h->nlmsg_type == NLMSG_ERROR) return ack_error(h, len, nullptr, 0);
    if (h->nlmsg_type != RTM_NEWLINK) return -EPROTO;
    const auto *ifi = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
    out->up = (ifi->ifi_flags & IFF_UP) != 0;
    int alen = int(h->nlmsg_len - NLMSG_LENGTH(sizeof *ifi));
    for (const rtattr *a = IFLA_RTA(ifi); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
        if (a->rta_type != IFLA_LINKINFO) continue;
        int ilen = int(RTA_PAYLOAD(a));
        for (const rtattr *i = static_cast<const rtattr *>(RTA_DATA(a)); RTA_OK(i, ilen);
             i = RTA_NEXT(i, ilen)) {
            if (i->rta_type == IFLA_INFO_KIND) {
                const size_t n = RTA_PAYLOAD(i);
                zk::copy_text(out->kind, n + 1 < sizeof out->kind ? n + 1 : sizeof out->kind,
                              static_cast<const char *>(RTA_DATA(i)));
            } else if (i->rta_type == IFLA_INFO_DATA) {
                parse_can(static_cast<const rtattr *>(RTA_DATA(i)), int(RTA_PAYLOAD(i)), out);
            }
        }
    }
    out->can = strcmp(out->kind, "can") == 0;
    return 0;
}

int link_set(int ifindex, const link_change &c, char *msg, size_t msg_size)
{
    nl_socket s;
    request rq(RTM_NEWLINK, NLM_F_ACK, ifindex);
    if (c.up >= 0) {
        rq.ifi()->ifi_change = IFF_UP;
        rq.ifi()->ifi_flags = c.up ? IFF_UP : 0;
    }
    if (c.set_bittiming || c.set_ctrlmode || c.restart) {
        rtattr *info = rq.add(IFLA_LINKINFO, nullptr, 0);
        rq.add(IFLA_INFO_KIND, "can", 4);
        rtattr *data = rq.add(IFLA_INFO_DATA, nullptr, 0);
        if (c.set_bittiming) rq.add(IFLA_CAN_BITTIMING, &c.bt, sizeof c.bt);
        if (c.set_data_bittiming) rq.add(IFLA_CAN_DATA_BITTIMING, &c.dbt, sizeof c.dbt);
        if (c.set_ctrlmode) rq.add(IFLA_CAN_CTRLMODE, &c.cm, sizeof c.cm);
        if (c.restart) {
            const uint32_t one = 1;
            rq.add(IFLA_CAN_RESTART, &one, sizeof one);
        }
        rq.end(data);
        rq.end(info);
    }
    alignas(nlmsghdr) char reply[4096];
    const int len = s.exchange(rq, reply, sizeof reply);
    if (len < 0) return len;
    return ack_error(reinterpret_cast<const nlmsghdr *>(reply), len, msg, msg_size);
}

}  // namespace zk_socketcan
