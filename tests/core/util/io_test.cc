#include "core/util/io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "tests/core/temp_dir.h"

namespace tallyvox {
namespace {

using testing::TempDir;
using testing::Umask;

struct ParentCase {
  const char* path;
  const char* parent;  // nullptr: no parent
};

class ParentPath : public ::testing::TestWithParam<ParentCase> {};

TEST_P(ParentPath, DropsTheLastComponent) {
  auto parent = parent_path(GetParam().path);
  if (GetParam().parent == nullptr) {
    EXPECT_FALSE(parent.has_value()) << *parent;
  } else {
    ASSERT_TRUE(parent.has_value());
    EXPECT_EQ(*parent, GetParam().parent);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ParentPath,
                         ::testing::Values(ParentCase{"a/b/ledger", "a/b"},
                                           ParentCase{"ledger", ""}, ParentCase{"/x", "/"},
                                           ParentCase{"a/b/", "a"}, ParentCase{"a//b", "a"},
                                           ParentCase{"a/b//", "a"}, ParentCase{"/a/b", "/a"},
                                           ParentCase{"/a/", "/"}, ParentCase{"./k", "."},
                                           ParentCase{"a/.", ""}, ParentCase{"a/b/./", "a"},
                                           ParentCase{"../k", ".."}, ParentCase{"/", nullptr},
                                           ParentCase{"///", nullptr}, ParentCase{"", nullptr}));

class Io : public TempDir {};

TEST_F(Io, OpenRefusesNulBeforeTheCall) {
  auto opened = open_file(path("a") + std::string("\0b", 2), O_RDONLY);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(display(opened.error()), "file name contained an unexpected NUL byte");
  EXPECT_EQ(display(stat_path(std::string("x\0", 2)).error()),
            "file name contained an unexpected NUL byte");
  EXPECT_FALSE(chmod_path(std::string("\0", 1), 0600).has_value());
  EXPECT_FALSE(create_dir_all(path("d") + std::string("\0", 1)).has_value());
  EXPECT_FALSE(exists(path("d")));
}

TEST_F(Io, OpenedFilesAreCloseOnExecAndClosedWithTheirOwner) {
  int fd;
  {
    auto file = open_file(path("f"), O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(file.has_value());
    fd = file->fd();
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    File moved = std::move(*file);
    EXPECT_FALSE(*file);
    EXPECT_EQ(moved.fd(), fd);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);

  auto missing = open_file(path("none"), O_RDONLY);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().code, ENOENT);
}

TEST_F(Io, WriteThenReadBackLargerThanAnyBuffer) {
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 11));
  {
    auto file = open_file(path("big"), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE(write_all(file->fd(), data.data(), data.size()).has_value());
    EXPECT_TRUE(sync_all(file->fd()).has_value());
    EXPECT_TRUE(sync_data(file->fd()).has_value());
    EXPECT_TRUE(file->close().has_value());
  }
  auto file = open_file(path("big"), O_RDONLY);
  ASSERT_TRUE(file.has_value());
  auto back = read_all(file->fd());
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(*back == data);

  auto empty = open_file(path("empty"), O_RDWR | O_CREAT, 0600);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(read_all(empty->fd()).value(), "");
}

// A pipe has no size to go by and takes writes in pieces.
TEST_F(Io, PipesInBothDirections) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  File reader(fds[0]), writer(fds[1]);
  std::string data(1 << 20, 'x');
  for (std::size_t i = 0; i < data.size(); i += 4099) data[i] = static_cast<char>(i);
  std::thread producer([&] {
    EXPECT_TRUE(write_all(writer.fd(), data.data(), data.size()).has_value());
    EXPECT_TRUE(writer.close().has_value());
  });
  auto got = read_all(reader.fd());
  producer.join();
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(*got == data);
}

TEST_F(Io, ErrorsCarryTheOsCode) {
  EXPECT_EQ(read_all(-1).error().code, EBADF);
  char c = 0;
  EXPECT_EQ(write_all(-1, &c, 1).error().code, EBADF);
  EXPECT_EQ(sync_all(-1).error().code, EBADF);
  EXPECT_EQ(sync_data(-1).error().code, EBADF);
  auto dir = open_file(dir_, O_RDONLY);
  ASSERT_TRUE(dir.has_value());
  EXPECT_EQ(display(read_all(dir->fd()).error()), "Is a directory (os error 21)");
}

// Every kind of path that is not a regular file is refused before anything
// is read or written, in each open mode, and a FIFO never blocks the open.
TEST_F(Io, OpenRegularRefusesWhatIsNotAFile) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(path("dir").c_str(), 0700), 0);
  write_file(path("file"), "x");
  const struct {
    std::string path;
    const char* text;
  } refused[] = {{path("fifo"), kNotRegularFifo},
                 {path("dir"), kNotRegularDirectory},
                 {"/dev/null", kNotRegularDevice},
                 {"/dev/zero", kNotRegularDevice}};
  for (int flags : {O_RDONLY, O_RDWR | O_APPEND | O_CREAT, O_WRONLY | O_CREAT}) {
    for (const auto& c : refused) {
      auto file = open_regular(c.path, flags, 0600);
      ASSERT_FALSE(file) << c.path;
      EXPECT_STREQ(file.error().fixed, c.text) << c.path;
    }
    auto file = open_regular(path("file"), flags, 0600);
    ASSERT_TRUE(file) << display(file.error());
    EXPECT_EQ(::fcntl(file->fd(), F_GETFL) & O_NONBLOCK, 0);
  }
  auto created = open_regular(path("new"), O_WRONLY | O_CREAT | O_EXCL, 0600);
  EXPECT_TRUE(created);
  EXPECT_EQ(open_regular(path("absent"), O_RDONLY).error().code, ENOENT);
}

TEST_F(Io, StatFollowsLinks) {
  ASSERT_EQ(::mkdir(path("d").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(path("d").c_str(), path("to_d").c_str()), 0);
  ASSERT_EQ(::symlink(path("nothing").c_str(), path("dangling").c_str()), 0);
  EXPECT_TRUE(is_directory(path("to_d")));
  EXPECT_FALSE(exists(path("dangling")));
  EXPECT_EQ(stat_path(path("dangling")).error().code, ENOENT);
  TempDir::write_file(path("f"), "x");
  EXPECT_TRUE(exists(path("f")));
  EXPECT_FALSE(is_directory(path("f")));
}

TEST_F(Io, CreateDirAllMakesEveryMissingAncestor) {
  Umask mask(022);
  EXPECT_TRUE(create_dir_all("").has_value());
  ASSERT_TRUE(create_dir_all(path("a/b/c/")).has_value());
  EXPECT_TRUE(is_directory(path("a/b/c")));
  EXPECT_EQ(mode_of(path("a")), 0755u);
  EXPECT_EQ(mode_of(path("a/b/c")), 0755u);
  // Already there, directly or through a link: fine.
  EXPECT_TRUE(create_dir_all(path("a/b")).has_value());
  ASSERT_EQ(::symlink(path("a").c_str(), path("link").c_str()), 0);
  EXPECT_TRUE(create_dir_all(path("link/b/new")).has_value());
  EXPECT_TRUE(is_directory(path("a/b/new")));
  EXPECT_TRUE(create_dir_all("/").has_value());
}

TEST_F(Io, CreateDirAllStopsAtAFile) {
  TempDir::write_file(path("file"), "x");
  auto over = create_dir_all(path("file"));
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().code, EEXIST);
  auto under = create_dir_all(path("file/sub/deeper"));
  ASSERT_FALSE(under.has_value());
  EXPECT_EQ(under.error().code, ENOTDIR);
}

}  // namespace
}  // namespace tallyvox
