// Opening a file the user named: anything but a regular file is refused
// with its kind, before anything blocks or is written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_env.h"
#include "userfile.h"

namespace {

struct Refusal {
    std::string path;
    int code;
};

class UserFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = nbtest::make_temp_dir("userfile");
        fifo_ = dir_ + "/pipe";
        ASSERT_EQ(0, mkfifo(fifo_.c_str(), 0600));
        ASSERT_EQ(0, symlink(fifo_.c_str(), (dir_ + "/link").c_str()));
        ASSERT_TRUE(nbtest::write_file(dir_ + "/data", "kept"));
    }
    std::string dir_, fifo_;
};

TEST_F(UserFile, ReadingRefusesEveryKindButARegularFileWithoutWaiting)
{
    nbtest::Deadline deadline(10, "opening a FIFO or a device for reading");
    const Refusal cases[] = {{fifo_, UF_E_FIFO},           {dir_ + "/link", UF_E_FIFO},
                             {"/dev/zero", UF_E_DEVICE},   {dir_, UF_E_FOLDER},
                             {dir_ + "/none", ENOENT}};
    for (const Refusal &c : cases) {
        int err = 0;
        EXPECT_EQ(-1, uf_open_read(c.path.c_str(), &err)) << c.path;
        EXPECT_EQ(c.code, err) << c.path;
    }
    int err = -1;
    int fd = uf_open_read((dir_ + "/data").c_str(), &err);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, err);
    EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    close(fd);
    char text[256];
    EXPECT_STREQ("/p is a FIFO, not a regular file", uf_describe(text, sizeof text, "/p", UF_E_FIFO));
}

// A FIFO with a reader waiting, a device and a folder are neither written
// nor replaced; a regular file is emptied only when asked to be, and a new
// one never takes an existing name.
TEST_F(UserFile, WritingNeverTouchesAnythingButARegularFile)
{
    nbtest::Deadline deadline(10, "opening a FIFO or a device for writing");
    int reader = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (int mode : {UF_REPLACE, UF_APPEND}) {
        const Refusal cases[] = {{fifo_, UF_E_FIFO}, {dir_ + "/link", UF_E_FIFO},
                                 {"/dev/null", UF_E_DEVICE}, {dir_, UF_E_FOLDER}};
        for (const Refusal &c : cases) {
            int err = 0;
            EXPECT_EQ(-1, uf_open_write(c.path.c_str(), mode, &err)) << c.path;
            EXPECT_EQ(c.code, err) << c.path;
            EXPECT_EQ(c.code, uf_check_target(c.path.c_str())) << c.path;
        }
    }
    char byte;
    EXPECT_EQ(0, read(reader, &byte, 1));  // nothing was written into the FIFO
    close(reader);

    int err = 0;
    EXPECT_EQ(-1, uf_open_write((dir_ + "/data").c_str(), UF_NEW, &err));
    EXPECT_EQ(EEXIST, err);
    EXPECT_EQ(-1, uf_open_write((dir_ + "/link").c_str(), UF_NEW, &err));
    EXPECT_EQ(EEXIST, err);
    int fd = uf_open_write((dir_ + "/data").c_str(), UF_APPEND, &err);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(1, write(fd, "!", 1));
    close(fd);
    EXPECT_EQ("kept!", nbtest::read_file(dir_ + "/data"));
    fd = uf_open_write((dir_ + "/data").c_str(), UF_REPLACE, &err);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ("", nbtest::read_file(dir_ + "/data"));
    EXPECT_EQ(0, uf_check_target((dir_ + "/new").c_str()));
}

TEST_F(UserFile, StreamsAppendOrReplaceAndRefuseAFifo)
{
    nbtest::Deadline deadline(10, "opening a FIFO as a stream");
    int err = 0;
    EXPECT_EQ(nullptr, uf_fopen_write(fifo_.c_str(), UF_APPEND, &err));
    EXPECT_EQ(UF_E_FIFO, err);
    FILE *f = uf_fopen_write((dir_ + "/data").c_str(), UF_APPEND, &err);
    ASSERT_NE(nullptr, f);
    fseek(f, 0, SEEK_SET);  // appending writes at the end whatever the position
    fputs("!", f);
    fclose(f);
    EXPECT_EQ("kept!", nbtest::read_file(dir_ + "/data"));
    f = uf_fopen_write((dir_ + "/data").c_str(), UF_REPLACE, &err);
    ASSERT_NE(nullptr, f);
    fputs("new", f);
    fclose(f);
    EXPECT_EQ("new", nbtest::read_file(dir_ + "/data"));
}

}  // namespace
