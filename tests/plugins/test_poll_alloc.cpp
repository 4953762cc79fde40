// A poll tick with traffic in both directions, error counters and five
// loaded plug-ins (both styles, one taking the stream), and on a CAN FD channel with an FD-aware
// plug-in among them, allocates nothing. Allocations are
// counted through the sanitizer's allocation hooks in the sanitized build
// and by interposing the C allocator in this test binary otherwise.
#include <gtest/gtest.h>
#include <stddef.h>

#include <atomic>

#include "poll_fixture.h"

namespace {
std::atomic<long> g_allocs{0};
std::atomic<bool> g_counting{false};

inline void count_one()
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocs.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void *, size_t), void (*free_hook)(const volatile void *));

namespace {
void on_malloc(const volatile void *, size_t)
{
    count_one();
}
void on_free(const volatile void *) {}
bool install_counter()
{
    return __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
}
}  // namespace
#else
// The executable's definitions take precedence over the C library's for
// every caller in the process: GLib, the plug-ins, the C++ runtime.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

__attribute__((visibility("default"))) void *malloc(size_t n)
{
    count_one();
    return __libc_malloc(n);
}
__attribute__((visibility("default"))) void *calloc(size_t n, size_t m)
{
    count_one();
    return __libc_calloc(n, m);
}
__attribute__((visibility("default"))) void *realloc(void *p, size_t n)
{
    count_one();
    return __libc_realloc(p, n);
}
__attribute__((visibility("default"))) void *memalign(size_t a, size_t n)
{
    count_one();
    return __libc_memalign(a, n);
}
__attribute__((visibility("default"))) void *aligned_alloc(size_t a, size_t n)
{
    count_one();
    return __libc_memalign(a, n);
}
__attribute__((visibility("default"))) int posix_memalign(void **out, size_t a, size_t n)
{
    count_one();
    void *p = __libc_memalign(a, n);
    if (!p)
        return 12; /* ENOMEM */
    *out = p;
    return 0;
}
__attribute__((visibility("default"))) void free(void *p)
{
    __libc_free(p);
}
}
namespace {
bool install_counter()
{
    return true;
}
}  // namespace
#endif

namespace nbt {
gui_calls gui;

namespace {

class PollAlloc : public PollTest {
protected:
    const char *boards() const override
    {
        return "0=sim:channels=2,traffic=none,txq=64;1=sim:channels=2,traffic=none,txq=64";
    }
};

TEST_F(PollAlloc, TickWithTrafficAndFivePluginsAllocatesNothing)
{
    ASSERT_TRUE(install_counter());
    // No budget at all: every tick runs out of time and arms its catch-up,
    // which must not allocate either (on a loaded machine that is the
    // tick's common case).
    poll_set_budget_us(0);
    loaded("nbt_handler", "a.so");
    loaded("nbt_legacy", "b.so");
    loaded("nbt_handler", "c.so");
    loaded("nbt_legacy_nosess", "d.so");
    loaded("nbt_stream", "f.so");
    // An added channel of another board: its frames go into the stream.
    nb_chan_settings cs;
    chan_settings_default(&cs);
    int32_t added = 0;
    ASSERT_EQ(chanset_add(&the_app, 2, &cs, &added, nullptr), 0);
    nb_chan *ch1 = chanset_at(&the_app, added);
    // Make sure counting works at all.
    g_allocs = 0;
    g_counting = true;
    void *volatile probe = g_malloc(16);
    g_counting = false;
    g_free(probe);
    ASSERT_GE(g_allocs.load(), 1) << "the allocation counter is not in effect";

    // Classic traffic first, then a CAN FD channel with an FD-aware plug-in
    // beside the others: frames of both kinds both ways, each batch made
    // in both forms.
    for (int round = 0; round < 5; round++) {
        const bool fd = round >= 3;
        if (round == 3) {
            the_app.chan.ops.close(&the_app.chan);
            the_app.chan.fd = NB_FD_ISO;
            the_app.chan.ops.open(&the_app.chan);
            loaded("nbt_fd", "e.so");
        }
        // The previous round's bus-off stopped the controller.
        ASSERT_GE(the_app.chan.ops.start(&the_app.chan), 0);
        ASSERT_GE(ch1->ops.start(ch1), 0);
        for (uint32_t i = 0; i < 300; i++) {
            zk_frame f = frame(i);
            zk_fdframe g;
            memset(&g, 0, sizeof g);
            g.id = i;
            g.flags = ZK_FRAME_FDF | ZK_FRAME_BRS;
            g.len = 64;
            ASSERT_GE(fd && i % 2 ? nb_send_fd_frame(&g) : nb_send_frame(&f), 0);
        }
        inject(fd ? 256 : 512, 0x100);
        for (int i = 0; fd && i < 256; i++) {
            zk_fdframe g;
            memset(&g, 0, sizeof g);
            g.id = 0x200 + (uint32_t)i;
            g.flags = ZK_FRAME_FDF;
            g.len = 32;
            ASSERT_GE(zk_sim_inject_fd(0, &g), 1);
        }
        for (uint32_t i = 0; i < 50; i++) {
            zk_fdframe g;
            memset(&g, 0, sizeof g);
            g.id = 0x300 + i;
            g.len = 8;
            ASSERT_GE(nb_chan_send(added, &g), 0);
            zk_frame f = frame(0x400 + i);
            ASSERT_GE(zk_sim_inject(1, &f), 1);
        }
        inject_errs(zk_errs{1, 1, 1, 1, 1});
        zk_errs boff = {0, 1, 0, 0, 0};
        ASSERT_GE(zk_sim_inject_errors(2, &boff), 0);

        recording = false;
        g_allocs = 0;
        g_counting = true;
        gboolean more = tick();
        g_counting = false;
        recording = true;

        EXPECT_TRUE(more);
        EXPECT_EQ(g_allocs.load(), 0) << "round " << round;
        EXPECT_EQ(gui.stops, round + 1);
        EXPECT_EQ(the_app.chan.txlog->count, 0);
        EXPECT_EQ(ch1->running, 0) << "stopped by its bus-off";
    }
    EXPECT_EQ(the_app.pgmgr.fd_hidden, 2u * (150 + 256));
}

}  // namespace
}  // namespace nbt
