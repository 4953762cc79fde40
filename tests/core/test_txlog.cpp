// The tx log ring: bounded, oldest first, drops when full.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>

#include "app/nb_app.h"

namespace {

nb_tx_fd_entry entry(uint32_t id)
{
    nb_tx_fd_entry e;
    memset(&e, 0, sizeof e);
    e.frame.id = id;
    e.frame.len = 1;
    e.frame.data[0] = (uint8_t)id;
    e.timestamp = 1000u + id;
    return e;
}

struct LogDeleter {
    void operator()(nb_txlog *l) const { txlog_free(l); }
};

TEST(TxLog, FreshLogIsEmptyWithFixedGeometry)
{
    std::unique_ptr<nb_txlog, LogDeleter> log(txlog_new());
    ASSERT_TRUE(log);
    EXPECT_EQ(log->capacity, 1024);
    EXPECT_EQ(log->entry_size, 88);
    EXPECT_EQ(log->count, 0);
    EXPECT_EQ(log->head, 0);
    EXPECT_EQ(log->tail, 0);
    nb_tx_fd_entry out[4];
    EXPECT_EQ(txlog_drain(log.get(), out, 4), 0);
}

TEST(TxLog, FullLogDropsAndDrainsOldestFirstAcrossTheWrap)
{
    std::unique_ptr<nb_txlog, LogDeleter> log(txlog_new());
    ASSERT_TRUE(log);
    // 1500 appends between two drains: the first 1024 are kept.
    for (uint32_t i = 0; i < 1500; i++) {
        nb_tx_fd_entry e = entry(i);
        txlog_append(log.get(), &e);
    }
    EXPECT_EQ(log->count, 1024);
    static nb_tx_fd_entry out[512];
    ASSERT_EQ(txlog_drain(log.get(), out, 512), 512);
    for (uint32_t i = 0; i < 512; i++) {
        ASSERT_EQ(out[i].frame.id, i);
        ASSERT_EQ(out[i].timestamp, 1000u + i);
    }
    // Refill across the end of the ring, then drain everything in order.
    for (uint32_t i = 2000; i < 2300; i++) {
        nb_tx_fd_entry e = entry(i);
        txlog_append(log.get(), &e);
    }
    EXPECT_EQ(log->count, 812);
    ASSERT_EQ(txlog_drain(log.get(), out, 512), 512);
    for (uint32_t i = 0; i < 512; i++)
        ASSERT_EQ(out[i].frame.id, 512 + i);
    ASSERT_EQ(txlog_drain(log.get(), out, 512), 300);
    for (uint32_t i = 0; i < 300; i++) {
        ASSERT_EQ(out[i].frame.id, 2000 + i);
        nb_tx_fd_entry want = entry(2000 + i);
        ASSERT_EQ(memcmp(&out[i], &want, sizeof want), 0);
    }
    EXPECT_EQ(log->count, 0);
    EXPECT_EQ(log->head, log->tail);
}

TEST(TxLog, AbsentLogAndBadArgumentsAreHarmless)
{
    nb_tx_fd_entry e = entry(1), out[2];
    txlog_append(nullptr, &e);
    EXPECT_EQ(txlog_drain(nullptr, out, 2), 0);
    txlog_free(nullptr);
    std::unique_ptr<nb_txlog, LogDeleter> log(txlog_new());
    txlog_append(log.get(), &e);
    EXPECT_EQ(txlog_drain(log.get(), out, 0), 0);
    EXPECT_EQ(txlog_drain(log.get(), out, -3), 0);
    EXPECT_EQ(log->count, 1);
}

// Written frames are found by the library's number while the ring holds
// them: across the wrap of the ring and of the 32-bit number, not once
// overwritten, not after a gap in the numbers or a reset (a new open).
TEST(TxLog, WrittenFramesAreFoundByNumberWhileTheRingHoldsThem)
{
    std::unique_ptr<nb_txlog, LogDeleter> log(txlog_new());
    ASSERT_TRUE(log);
    nb_tx_fd_entry out;
    const uint32_t first = 0xFFFFFFFFu - 10u;
    uint32_t seq = first;
    for (uint32_t i = 0; i < NB_SENT_RING + 20; i++) {
        nb_tx_fd_entry e = entry(i & 0x7FF);
        txlog_append_seq(log.get(), &e, seq++);
    }
    const uint32_t newest = seq - 1;
    ASSERT_TRUE(txlog_sent_find(log.get(), newest, &out));
    EXPECT_EQ(out.frame.id, (NB_SENT_RING + 19) & 0x7FF);
    ASSERT_TRUE(txlog_sent_find(log.get(), newest - (NB_SENT_RING - 1), &out));
    EXPECT_EQ(out.frame.id, 20u);
    EXPECT_FALSE(txlog_sent_find(log.get(), newest - NB_SENT_RING, &out)) << "overwritten";
    EXPECT_FALSE(txlog_sent_find(log.get(), first, &out));
    EXPECT_FALSE(txlog_sent_find(log.get(), seq, &out)) << "not written yet";
    EXPECT_EQ(log->count, NB_TXLOG_CAPACITY) << "the tx log itself still stops when full";

    nb_tx_fd_entry e = entry(0x55);
    txlog_append_seq(log.get(), &e, seq + 5);
    EXPECT_FALSE(txlog_sent_find(log.get(), newest, &out)) << "a gap starts the ring again";
    ASSERT_TRUE(txlog_sent_find(log.get(), seq + 5, &out));
    txlog_sent_reset(log.get());
    EXPECT_FALSE(txlog_sent_find(log.get(), seq + 5, &out));
    txlog_append_seq(log.get(), &e, 0);
    EXPECT_TRUE(txlog_sent_find(log.get(), 0, &out));
    EXPECT_FALSE(txlog_sent_find(nullptr, 0, &out));
}

}  // namespace
