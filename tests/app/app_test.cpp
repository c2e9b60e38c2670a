// The start-up pieces in-process: command line (Windows' raw one too), folder and role,
// OS code, launchers, title and version text, the report text, the ELF version block and
// detached launches.
#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "app/launchers.h"
#include "diag/report_text.h"
#include "app/startup.h"
#include "app/version_text.h"
#include "platform/launch.h"
#include "platform/version_block.h"
#include "tests/support/golden.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::string_literals;

// Command line, folder, role, OS code, launchers, title and version text as a
// transcript (tests/golden/app_startup.txt). "root" makes a folder and writes a file of a
// temporary installation root, "rm" removes a folder, "home" gives the start-up folder of
// a program at a path, "@" standing for the root (an installed copy lies in /usr/bin on every computer: the root's
// setting decides).
TEST(Startup, Transcript) {
  TempRoot root;
  EXPECT_TRUE(script_match("app_startup.txt", [&](const std::string& w, const std::vector<std::string>& a) {
    char out[STARTUP_DIR_SIZE] = "/opt/qumex/";
    std::string arg = a.empty() ? "" : a[0];
    int r = 0;
    auto at = [&](const std::string& t) { return t[0] == '@' ? root.path() + t.substr(1) : t; };
    if (w == "root") {
      std::filesystem::create_directories(at(a[0]));
      root.write(a[1], a.size() > 2 ? at(a[2]) : "");
    }
    if (w == "rm") std::filesystem::remove_all(at(arg));
    if (w == "home") {
      default_startup_dir(at(arg).c_str(), out, sizeof out);
      std::string d = out;
      return (d.rfind(root.path(), 0) == 0 ? "@" + d.substr(root.path().size()) : d) + "|\n";
    }
    if (w == "join") {  // the size, then argv
      std::vector<const char*> argv;
      for (size_t i = 1; i < a.size(); i++) argv.push_back(a[i].c_str());
      join_command_line(int(argv.size()), argv.data(), out, std::stoul(a[0]));
    }
    if (w == "cut") {
      std::snprintf(out, sizeof out, "%s", arg.c_str());
      cut_to_directory(out);
    }
    if (w == "startupdir") r = apply_startup_dir(arg.c_str(), out, sizeof out);
    if (w == "skip") return std::string(skip_program_name(a.empty() ? nullptr : arg.c_str())) + "|\n";
    if (w == "role") return std::string(decide_role(a.empty() ? nullptr : arg.c_str())) + "|\n";
    if (w == "os") return std::to_string(os_version_code(std::stoi(a[0]), std::stoi(a[1]), std::stoi(a[2]))) + "\n";
    if (w == "launcher") {
      const char* c = launcher_command(std::stoi(a[0]), std::stoi(a[1]));
      return std::string(c ? c : "null") + "\n";
    }
    if (w == "title") build_window_title(arg.c_str(), out, WINDOW_TITLE_SIZE);
    if (w == "version") version_text_from_block(a[1].data(), a[1].size(), out, std::stoul(a[0]));
    // The report panel: "append" (a null piece clears), "appendf" (the text as its format),
    // "fill" (count copies of a character), then its length, head and tail.
    if (w == "clear") panel_clear();
    if (w == "append") panel_append(a.empty() ? nullptr : arg.c_str());
    if (w == "appendf") a.size() > 1 ? panel_appendf(arg.c_str(), a[1].c_str()) : panel_appendf(arg.c_str(), 1);
    if (w == "fill") panel_append(std::string(std::stoul(a[0]), a[1][0]).c_str());
    const std::string rep = report_text;
    if (w == "clear" || w == "append" || w == "appendf" || w == "fill")
      return std::to_string(rep.size()) + " " +
             (rep.size() < 40 ? rep : rep.substr(0, 12) + "..." + rep.substr(rep.size() - 12)) + "|\n";
    return std::to_string(r) + " " + out + "|\n";
  }));
}

TEST(Startup, DetachedLaunch) {
  const char* missing[] = {"lp-no-such-tool-here", nullptr};
  // The caller goes on after a launch. Here it is a child: a mix-up of the forks would end
  // it, and were it this test, as a success.
  pid_t caller = fork();
  ASSERT_GE(caller, 0);
  if (caller == 0) _exit(plat_launch_detached(missing) == ENOENT ? 42 : 1);
  int st = 0;
  ASSERT_EQ(waitpid(caller, &st, 0), caller);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 42) << st;
  TempRoot root;
  const std::string ran = root.path() + "/ran", script = "sleep 2; echo $PPID > " + ran + ".tmp; mv " + ran + ".tmp " + ran;
  const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
  errno = EINTR;  // left over from an earlier call: the wait for the first child must not spin on it
  ASSERT_EQ(plat_launch_detached(argv), 0);
  EXPECT_FALSE(root.exists("ran"));  // returned before the tool's sleep ended
  for (int i = 0; i < 600 && !root.exists("ran"); ++i) usleep(100000);
  // Re-parented away from us: the tool is nobody's child here.
  const std::string parent = root.read("ran");
  EXPECT_TRUE(!parent.empty() && parent != std::to_string(getpid()) + "\n") << parent;
  const char* empty[] = {nullptr};
  EXPECT_EQ(plat_launch_detached(empty), EINVAL);
  EXPECT_EQ(plat_launch_detached(nullptr), EINVAL);
  EXPECT_EQ(plat_launch_tool(99, "start cmd.exe"), EINVAL);
}

std::string ctime_of(const std::string& path) {
  struct stat st;
  char when[64];
  return stat(path.c_str(), &st) == 0 && ctime_r(&st.st_mtime, when) ? when : "no time";
}

// This program carries its own block (PB=9.8.7-test, SB=nightly); damaged copies of it,
// in a file and in memory, must give no block, whatever header field points astray.
TEST(VersionText, ElfFilesWholeDamagedAndForeign) {
  char exe[4096], text[VERSION_TEXT_SIZE];
  ASSERT_EQ(plat_self_exe_path(exe, sizeof exe), 0);
  TempRoot root;
  ASSERT_TRUE(root.write("plain.txt", "not an executable"));
  const std::string plain = root.path() + "/plain.txt";
  for (const std::string& f : {std::string(exe), plain, root.path(), std::string("/nonexistent/linkprobe")}) {
    file_version_text(f.c_str(), text, sizeof text);  // a directory and a missing file too
    EXPECT_EQ(text, (f == exe ? "PB=9.8.7-test    SB=nightly  " + ctime_of(f) : f[1] == 'n' ? "Unk" : "Unk  " + ctime_of(f)));
  }
  const std::string path = root.path() + "/x.elf", elf = root.read(exe);  // an absolute path is read as is
  ASSERT_GT(elf.size(), 64u);
  auto block_of = [&](const std::string& bytes) {
    root.write("x.elf", bytes);
    char buf[1024], mem[1024];
    size_t len = 0, mem_len = 0;
    int rc = plat_version_block(path.c_str(), buf, sizeof buf, &len);
    EXPECT_EQ(plat_version_block_image(bytes.data(), bytes.size(), mem, sizeof mem, &mem_len), rc);
    EXPECT_EQ(std::string(mem, rc == 0 ? mem_len : 0), std::string(buf, rc == 0 ? len : 0));
    return rc == 0 ? std::string(buf, len) : "<" + std::to_string(rc) + ">";
  };
  const std::string none = "<" + std::to_string(PLAT_VERSION_NO_BLOCK) + ">";
  EXPECT_EQ(block_of(elf).substr(0, 26), "PrivateBuild=9.8.7-test\0Sp"s);
  for (size_t cut : {0ul, 4ul, 16ul, 52ul, 63ul, elf.size() / 2, elf.size() - 1})
    EXPECT_EQ(block_of(elf.substr(0, cut)), none) << "cut at " << cut;
  auto put = [](std::string& s, size_t off, uint64_t v, int bytes) {
    for (int i = 0; i < bytes && off + i < s.size(); ++i) s[off + i] = static_cast<char>(v >> (8 * i));
  };
  uint64_t shoff = 0, sections = uint8_t(elf[60]) | uint8_t(elf[61]) << 8;
  for (int i = 7; i >= 0; --i) shoff = (shoff << 8) | uint8_t(elf[40 + i]);
  ASSERT_EQ(elf[58], 64);
  // Header fields: section table past the end, entry size too small or huge, too many
  // sections, name table out of range, unknown class, byte order, not ELF; then the
  // name, offset and size of every section.
  const struct { size_t off; uint64_t value; int bytes; } patches[] = {
      {40, ~0ull, 8}, {40, elf.size() - 10, 8}, {58, 0, 2}, {58, 0xffff, 2}, {60, 0xffff, 2}, {62, 0xfffe, 2},
      {4, 3, 1}, {5, 7, 1}, {5, 2, 1}, {0, 0, 1}, {0, 0, -1}, {24, 0, -1}, {32, 0, -1}};
  for (const auto& p : patches) {
    std::string bad = elf;
    for (uint64_t i = 0; p.bytes < 0 && i < sections; ++i) put(bad, shoff + i * 64 + p.off, 0xfffffff0fffffff0ull, p.off ? 8 : 4);
    put(bad, p.off, p.value, p.bytes);
    EXPECT_EQ(block_of(bad), none) << "patch at " << p.off << " = " << p.value << " of " << p.bytes;
  }
  char tiny[8];  // a block larger than the caller's buffer is cut to it
  size_t len = 99;
  ASSERT_EQ(plat_version_block(exe, tiny, sizeof tiny, &len), 0);
  EXPECT_EQ(std::string(tiny, len), "PrivateB");
  EXPECT_EQ(plat_version_block("/nonexistent", tiny, sizeof tiny, &len) * 100 + int(len), PLAT_VERSION_NO_FILE * 100);
}

}  // namespace
