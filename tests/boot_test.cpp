// The boot programs run for real, each test in a mount namespace of its own: a tmpfs over
// /run and a file over /proc/cmdline for the generator, a chroot into a prepared root with
// /sysroot and /var in the states each case needs for the remount helper.
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <linux/capability.h>
#include <unistd.h>

namespace {

// The boot programs under test, and the directory of the test double of libvaskel: the
// build's, or those the environment names (the installed programs, in a booted guest).
const char *generator_bin()
{
    return program_under_test("VASKEL_GENERATOR", GENERATOR_BIN);
}
const char *remount_bin()
{
    return program_under_test("VASKEL_REMOUNT", REMOUNT_BIN);
}
const char *fake_vaskel_dir()
{
    return program_under_test("VASKEL_FAKE_DIR", FAKE_VASKEL_DIR);
}

// Every test gets a fresh mount namespace, left again in TearDown.
struct in_namespace : testing::Test {
    int saved_ns = -1;
    temp_dir work;
    void SetUp() override
    {
        saved_ns = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(saved_ns, 0);
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(setns(saved_ns, CLONE_NEWNS), 0) << strerror(errno);
        close(saved_ns);
    }
};

void mount_tmpfs(const std::string &path, unsigned long flags = 0)
{
    mkdir(path.c_str(), 0755);
    ASSERT_EQ(mount("tmpfs", path.c_str(), "tmpfs", flags, "size=4m"), 0) << path;
}

void make_read_only(const std::string &path)
{
    ASSERT_EQ(mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << path << ": " << strerror(errno);
}

// ---- vaskel-system-generator ----

const std::string gen_err = "vaskel-system-generator: ";
const std::string var_marker = "/run/vaskel/initramfs-mount-var";

struct generator : in_namespace {
    std::string log = work / "calls";
    std::string cmdline = work / "cmdline";

    void SetUp() override
    {
        in_namespace::SetUp();
        mount_tmpfs("/run");
        set_cmdline("BOOT_IMAGE=/vmlinuz vaskel=/deploy/x/0 quiet\n");
        ASSERT_EQ(mount(cmdline.c_str(), "/proc/cmdline", nullptr, MS_BIND, nullptr), 0);
    }
    void set_cmdline(const std::string &text) { write_file(cmdline, text); }
    void place_var_marker()
    {
        mkdir("/run/vaskel", 0755);
        write_file(var_marker, "");
    }

    // Runs the generator with the test double of libvaskel in place of the library.
    run_result run_it(const std::vector<std::string> &args, const char *fail = nullptr,
                      const std::function<void()> &setup = {})
    {
        std::vector<std::string> argv = {generator_bin()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(generator_bin(), argv, [&] {
            setenv("LD_LIBRARY_PATH", fake_vaskel_dir(), 1);
            setenv("VASKEL_FAKE_LOG", log.c_str(), 1);
            if (fail != nullptr)
                setenv("VASKEL_FAKE_FAIL", fail, 1);
            umask(022);
            if (setup)
                setup();
        });
    }
    std::string calls() { return exists(log) ? read_file(log) : ""; }
};

std::string call_line(const std::string &value, const std::string &normal = "/tmp",
                      const std::string &late = "/tmp")
{
    return "value=[" + value + "] normal=[" + normal + "] early=[(null)] late=[" + late +
           "] error=[null]\n";
}

TEST_F(generator, var_marker_is_removed_and_nothing_else_happens)
{
    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"/a", "/b", "/c", "/d"}}) {
        place_var_marker();
        run_result r = run_it(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_FALSE(exists(var_marker));
        EXPECT_FALSE(exists("/run/vaskel-booted"));
        EXPECT_EQ(calls(), "");
    }
}

TEST_F(generator, argument_counts)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"/a"}, {"/a", "/b"}, {"/a", "/b", "/c", "/d"}, {"/a", "/b", "/c", "/d", "/e"}}) {
        run_result r = run_it(args);
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.err, gen_err + "This program takes three or no arguments\n");
    }
    EXPECT_EQ(calls(), "");
    EXPECT_FALSE(exists("/run/vaskel-booted"));

    EXPECT_EQ(run_it({}).status, 0);
    EXPECT_EQ(run_it({"/a", "/b", "/c"}).status, 0);
    // No arguments at all, not even a program name: the defaults as with none.
    EXPECT_EQ(run(generator_bin(), {},
                  [&] {
                      setenv("LD_LIBRARY_PATH", fake_vaskel_dir(), 1);
                      setenv("VASKEL_FAKE_LOG", log.c_str(), 1);
                  })
                  .status,
              0);
    EXPECT_EQ(calls(), call_line("/deploy/x/0") + call_line("/deploy/x/0", "/a", "/c") +
                           call_line("/deploy/x/0"));
}

TEST_F(generator, kernel_command_lines)
{
    using namespace std::string_literals;
    const std::string padding(64 << 10, 'p'), long_value = "/" + padding;
    const struct {
        std::string line;
        const char *value; // nullptr: no call
    } cases[] = {
        {padding + " vaskel=/after-64k\n", "/after-64k"},
        {"vaskel=" + long_value, long_value.c_str()},
        // A NUL byte ends what is scanned: the kernel never writes one into the line.
        {"quiet vaskel=/a\0b\n"s, "/a"},
        {"quiet\0vaskel=/hidden\n"s, nullptr},
        {"root=/dev/sda1 vaskel=/deploy/x/0 quiet\n", "/deploy/x/0"},
        {"quiet   vaskel=/a\n", "/a"},
        {"quiet vaskel=/no-newline", "/no-newline"},
        {"quiet vaskel=\n", ""},
        {"vaskel=/first vaskel=/second\n", "/first"},
        {"quiet\tvaskel=/tab\n", nullptr},
        {"xvaskel=/a\n", nullptr},
        {"root=/dev/sda1 quiet\n", nullptr},
        {"\n", nullptr},
        {"vaskel=/one\nvaskel=/second-line\n", "/one"},
    };
    for (const auto &c : cases) {
        set_cmdline(c.line);
        unlink(log.c_str());
        unlink("/run/vaskel-booted");
        run_result r = run_it({});
        EXPECT_EQ(r.status, 0) << c.line.substr(0, 80);
        EXPECT_EQ(r.out + r.err, "") << c.line.substr(0, 80);
        EXPECT_EQ(calls(), c.value != nullptr ? call_line(c.value) : "") << c.line.substr(0, 80);
        EXPECT_EQ(exists("/run/vaskel-booted"), c.value != nullptr) << c.line.substr(0, 80);
    }
}

TEST_F(generator, boot_marker_mode_and_content)
{
    ASSERT_EQ(run_it({}).status, 0);
    struct stat st = lstat_of("/run/vaskel-booted");
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_size, 0);

    write_file("/run/vaskel-booted", "kept");
    ASSERT_EQ(run_it({}).status, 0);
    EXPECT_EQ(read_file("/run/vaskel-booted"), "kept");
}

TEST_F(generator, failures)
{
    run_result r = run_it({}, "generation went wrong");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, gen_err + "generation went wrong\n");

    // The marker cannot be removed from a read-only /run/vaskel.
    place_var_marker();
    ASSERT_EQ(mount("/run/vaskel", "/run/vaskel", nullptr, MS_BIND, nullptr), 0);
    make_read_only("/run/vaskel");
    r = run_it({"/a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, gen_err + "Can't unlink " + var_marker + ": Read-only file system\n");
    ASSERT_EQ(umount("/run/vaskel"), 0);
    ASSERT_EQ(unlink(var_marker.c_str()), 0);

    // An empty /proc/cmdline holds no line: a read failure, never scanned.
    set_cmdline("");
    r = run_it({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, gen_err + "failed to read /proc/cmdline: No data available\n");

    // Unreadable: root without the capabilities that bypass file modes.
    set_cmdline("vaskel=/x\n");
    ASSERT_EQ(chmod(cmdline.c_str(), 0), 0);
    r = run_it({}, nullptr, [] {
        prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, gen_err + "failed to read /proc/cmdline: Permission denied\n");
    EXPECT_EQ(calls(), call_line("/deploy/x/0"));
}

TEST_F(generator, failed_value_copy_is_an_error)
{
#ifdef VASKEL_SANITIZE
    GTEST_SKIP() << "the sanitizer runtime owns strndup, so the double cannot make it fail";
#endif
    run_result r = run_it({}, nullptr, [] { setenv("VASKEL_FAKE_NOMEM", "1", 1); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, gen_err + "out of memory\n");
    EXPECT_EQ(calls(), "");
    EXPECT_FALSE(exists("/run/vaskel-booted"));
}

// ---- vaskel-remount ----

// The mount options (sixth field) of the top mount at `path`, and whether it is shared.
std::string options_of(const std::string &path)
{
    std::istringstream fields(mountinfo_line(path));
    std::string f;
    for (int i = 0; i < 6; i++)
        fields >> f;
    return f;
}

bool is_shared(const std::string &path)
{
    return mountinfo_line(path).find(" shared:") != std::string::npos;
}

bool has_option(const std::string &path, const std::string &option)
{
    return ("," + options_of(path) + ",").find("," + option + ",") != std::string::npos;
}

struct remount : in_namespace {
    std::string root = work / "root";
    static constexpr const char *target_tree = "/target-tree";

    // A root of its own: a tmpfs with the system's /usr bound in and /proc for the runtime.
    void SetUp() override
    {
        in_namespace::SetUp();
        mount_tmpfs(root);
        for (const char *d : {"usr", "proc", "run"})
            ASSERT_EQ(mkdir((root + "/" + d).c_str(), 0755), 0);
        ASSERT_EQ(mount("/usr", (root + "/usr").c_str(), nullptr, MS_BIND | MS_REC, nullptr), 0);
        ASSERT_EQ(mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr), 0);
        for (const char *l : {"lib", "lib64", "bin"})
            ASSERT_EQ(symlink((std::string("usr/") + l).c_str(), (root + "/" + l).c_str()), 0);
        // Under the emulator, the target's libraries come from the target tree. The emulator
        // looks every absolute path up in its prefix first, so the prefix holds the library
        // directories alone: /sysroot, /var and /run are then the root's own, and "/" is a
        // directory on the root's file system.
        if (const char *tree = getenv("QEMU_LD_PREFIX"); emulated() && tree != nullptr) {
            for (const char *d : {"", "/lib", "/usr", "/usr/lib"})
                ASSERT_EQ(mkdir(at(target_tree + std::string(d)).c_str(), 0755), 0);
            for (const char *d : {"/lib", "/usr/lib"})
                ASSERT_EQ(mount((tree + std::string(d)).c_str(),
                                at(target_tree + std::string(d)).c_str(), nullptr, MS_BIND | MS_REC,
                                nullptr),
                          0);
        }
    }

    std::string at(const std::string &path) const { return root + path; }

    run_result run_it()
    {
        int fd = open(remount_bin(), O_RDONLY | O_CLOEXEC);
        std::string dir = root;
        run_result r = run(remount_bin(), {}, [fd, dir] {
            if (chroot(dir.c_str()) != 0 || chdir("/") != 0)
                _exit(126);
            if (getenv("QEMU_LD_PREFIX") != nullptr)
                setenv("QEMU_LD_PREFIX", target_tree, 1);
            char *const argv[] = {const_cast<char *>("vaskel-remount"), nullptr};
            if (!emulated())
                fexecve(fd, argv, environ);
            // The emulator opens the program by name: the descriptor must stay open.
            fcntl(fd, F_SETFD, 0);
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            exec_program(self.c_str(), argv);
        });
        close(fd);
        return r;
    }
};

const unsigned long weak_flags = MS_NOSUID | MS_NODEV | MS_NOEXEC;

TEST_F(remount, read_only_sysroot_becomes_writable_and_keeps_its_flags)
{
    mount_tmpfs(at("/sysroot"), MS_RDONLY | weak_flags);
    ASSERT_EQ(mount(nullptr, at("/sysroot").c_str(), nullptr, MS_SHARED, nullptr), 0);
    mount_tmpfs(at("/var"));
    ASSERT_TRUE(is_shared(at("/sysroot")));

    run_result r = run_it();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Remounted: /sysroot\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(has_option(at("/sysroot"), "rw")) << options_of(at("/sysroot"));
    for (const char *kept : {"nosuid", "nodev", "noexec"})
        EXPECT_TRUE(has_option(at("/sysroot"), kept)) << kept << ": " << options_of(at("/sysroot"));
    EXPECT_FALSE(is_shared(at("/sysroot")));
    EXPECT_TRUE(exists(at("/run/vaskel-booted")));

    r = run_it();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "") << "a second run has nothing to do";
}

TEST_F(remount, targets_in_order_and_skipped)
{
    mount_tmpfs(at("/sysroot"), MS_RDONLY);
    mount_tmpfs(at("/var"), MS_RDONLY | MS_NOATIME);
    run_result r = run_it();
    EXPECT_EQ(r.out, "Remounted: /sysroot\nRemounted: /var\n");
    EXPECT_TRUE(has_option(at("/var"), "rw") && has_option(at("/var"), "noatime"))
        << options_of(at("/var"));

    // A /var that is a symbolic link is never remounted.
    ASSERT_EQ(umount(at("/var").c_str()), 0);
    ASSERT_EQ(rmdir(at("/var").c_str()), 0);
    mount_tmpfs(at("/data"), MS_RDONLY);
    ASSERT_EQ(symlink("/data", at("/var").c_str()), 0);
    r = run_it();
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(has_option(at("/data"), "ro"));
}

TEST_F(remount, read_only_root_changes_nothing_but_propagation)
{
    mount_tmpfs(at("/sysroot"), MS_RDONLY);
    ASSERT_EQ(mount(nullptr, at("/sysroot").c_str(), nullptr, MS_SHARED, nullptr), 0);
    mount_tmpfs(at("/var"), MS_RDONLY);
    mount_tmpfs(at("/run"));
    make_read_only(root);
    run_result r = run_it();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(has_option(at("/sysroot"), "ro"));
    EXPECT_TRUE(has_option(at("/var"), "ro"));
    EXPECT_FALSE(is_shared(at("/sysroot")));
    EXPECT_TRUE(exists(at("/run/vaskel-booted")));
}

TEST_F(remount, sysroot_missing_or_not_a_mount_point)
{
    const struct {
        bool make_dir;
        const char *error;
    } cases[] = {{false, "No such file or directory"}, {true, "Invalid argument"}};
    mount_tmpfs(at("/var"));
    for (const auto &c : cases) {
        if (c.make_dir) {
            ASSERT_EQ(mkdir(at("/sysroot").c_str(), 0755), 0);
        }
        make_read_only(at("/var"));
        run_result r = run_it();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err,
                  std::string("warning: While remounting /sysroot MS_PRIVATE: ") + c.error + "\n");
        EXPECT_EQ(r.out, "Remounted: /var\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    return run_privileged_tests(argc, argv, false);
}
