// Runs a program under the restrictions gatewise-server.service puts on the server, without
// systemd: the system-call allow-list (SystemCallFilter=, SystemCallErrorNumber=,
// SystemCallArchitectures=native), the socket families (RestrictAddressFamilies=), no writable
// and executable memory (MemoryDenyWriteExecute=), no new namespaces (RestrictNamespaces=), an
// unprivileged user with no capabilities (DynamicUser=, CapabilityBoundingSet=,
// NoNewPrivileges=). package_test.sh reads those settings from the packaged unit and hands them
// over; a filter too tight for the server then fails the test instead of the service.
//
//   unit_sandbox --syscalls FILE --families AF_INET,AF_NETLINK [--errno EPERM] [--mdwe]
//                [--no-namespaces] [--user UID:GID] [--deny NAME]... -- PROGRAM [ARGS...]
//
// FILE holds the allowed system calls, one name a line (the unit's groups expanded); names this
// kernel or architecture does not know are skipped, as systemd skips them. --deny takes one
// more call away (to show that a missing call is noticed). Exits 125 when the restrictions
// cannot be set up, else execs PROGRAM.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kSetupFailed = 125;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "unit_sandbox: %s\n", what.c_str());
    std::exit(kSetupFailed);
}

int Family(const std::string& name) {
    static const struct {
        const char* name;
        int value;
    } known[] = {{"AF_UNIX", AF_UNIX},
                 {"AF_INET", AF_INET},
                 {"AF_INET6", AF_INET6},
                 {"AF_NETLINK", AF_NETLINK},
                 {"AF_PACKET", AF_PACKET}};
    for (const auto& k : known)
        if (name == k.name)
            return k.value;
    Fail("unknown address family " + name);
}

// SystemCallErrorNumber=: a name of the few a unit would choose, or a number.
int ErrorNumber(const std::string& text) {
    static const struct {
        const char* name;
        int value;
    } known[] = {{"EPERM", EPERM}, {"EACCES", EACCES}, {"ENOSYS", ENOSYS}, {"EINVAL", EINVAL}};
    for (const auto& k : known)
        if (text == k.name)
            return k.value;
    const int n = std::atoi(text.c_str());
    if (n <= 0)
        Fail("unknown error number " + text);
    return n;
}

struct Options {
    std::string syscallsFile;
    std::vector<int> families;
    int errnoValue = EPERM;
    bool mdwe = false;
    bool noNamespaces = false;
    uid_t uid = 0;
    gid_t gid = 0;
    bool setUser = false;
    std::set<std::string> deny;
    char** program = nullptr;
};

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Fail(a + " needs a value");
            return argv[++i];
        };
        if (a == "--syscalls") {
            o.syscallsFile = value();
        } else if (a == "--families") {
            const std::string list = value();
            o.families.clear();  // the last --families counts
            for (std::size_t at = 0; at <= list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                o.families.push_back(Family(list.substr(at, comma - at)));
                at = comma + 1;
            }
        } else if (a == "--errno") {
            o.errnoValue = ErrorNumber(value());
        } else if (a == "--mdwe") {
            o.mdwe = true;
        } else if (a == "--no-namespaces") {
            o.noNamespaces = true;
        } else if (a == "--user") {
            unsigned uid = 0, gid = 0;
            if (std::sscanf(value().c_str(), "%u:%u", &uid, &gid) != 2)
                Fail("--user takes UID:GID");
            o.uid = uid;
            o.gid = gid;
            o.setUser = true;
        } else if (a == "--deny") {
            o.deny.insert(value());
        } else if (a == "--") {
            if (i + 1 >= argc)
                Fail("no program after --");
            o.program = argv + i + 1;
            break;
        } else {
            Fail("unknown option " + a);
        }
    }
    if (o.program == nullptr || o.syscallsFile.empty() || o.families.empty())
        Fail("usage: unit_sandbox --syscalls FILE --families LIST [...] -- PROGRAM [ARGS...]");
    return o;
}

void Add(scmp_filter_ctx ctx, uint32_t action, int call, std::vector<scmp_arg_cmp> cmps = {}) {
    const int rc =
        seccomp_rule_add_array(ctx, action, call, static_cast<unsigned>(cmps.size()), cmps.data());
    if (rc != 0)
        Fail(std::string("seccomp_rule_add: ") + std::strerror(-rc));
}

void Load(scmp_filter_ctx ctx, const char* what) {
    const int rc = seccomp_load(ctx);
    seccomp_release(ctx);
    if (rc != 0)
        Fail(std::string("loading the ") + what + " filter: " + std::strerror(-rc));
}

// SystemCallFilter=: everything not listed fails with the unit's error number. Only this
// architecture's calls pass (SystemCallArchitectures=native): libseccomp kills the others.
void AllowListed(const Options& o, const std::vector<std::string>& names) {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(static_cast<uint32_t>(o.errnoValue)));
    if (ctx == nullptr)
        Fail("seccomp_init failed");
    int allowed = 0;
    for (const std::string& name : names) {
        if (name.empty() || o.deny.count(name) != 0)
            continue;
        const int call = seccomp_syscall_resolve_name(name.c_str());
        if (call == __NR_SCMP_ERROR)
            continue;
        // A multiplexed call of another architecture (a negative number here) may be refused.
        if (seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0) == 0)
            ++allowed;
    }
    if (allowed == 0)
        Fail("no system call allowed: is " + o.syscallsFile + " empty?");
    Load(ctx, "system-call");
}

// A filter that lets every call through but those its rules name.
scmp_filter_ctx AllowingFilter() {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (ctx == nullptr)
        Fail("seccomp_init failed");
    return ctx;
}

// RestrictAddressFamilies=: socket() with any other family fails with EAFNOSUPPORT; as systemd
// does it, the families below the lowest and above the highest allowed one in one rule each.
void RestrictFamilies(const Options& o) {
    scmp_filter_ctx ctx = AllowingFilter();
    const uint32_t refuse = SCMP_ACT_ERRNO(EAFNOSUPPORT);
    const int low = *std::min_element(o.families.begin(), o.families.end());
    const int high = *std::max_element(o.families.begin(), o.families.end());
    const int socketCall = SCMP_SYS(socket);
    Add(ctx, refuse, socketCall, {SCMP_A0(SCMP_CMP_LT, static_cast<scmp_datum_t>(low))});
    Add(ctx, refuse, socketCall, {SCMP_A0(SCMP_CMP_GT, static_cast<scmp_datum_t>(high))});
    for (int f = low + 1; f < high; ++f) {
        if (std::find(o.families.begin(), o.families.end(), f) == o.families.end())
            Add(ctx, refuse, socketCall, {SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(f))});
    }
    Load(ctx, "address-family");
}

// MemoryDenyWriteExecute=: no mapping both writable and executable, nothing made executable
// later, no executable shared memory.
void DenyWriteExecute() {
    scmp_filter_ctx ctx = AllowingFilter();
    const uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
    const scmp_datum_t wx = PROT_WRITE | PROT_EXEC;
    Add(ctx, refuse, SCMP_SYS(mmap), {SCMP_A2(SCMP_CMP_MASKED_EQ, wx, wx)});
    Add(ctx, refuse, SCMP_SYS(mprotect), {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)});
    Add(ctx, refuse, SCMP_SYS(pkey_mprotect), {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)});
    Add(ctx, refuse, SCMP_SYS(shmat), {SCMP_A2(SCMP_CMP_MASKED_EQ, SHM_EXEC, SHM_EXEC)});
    Load(ctx, "write-execute");
}

// RestrictNamespaces=yes: no call makes or joins a namespace; clone3, whose flags a filter
// cannot see, says ENOSYS, so the C library falls back to clone (threads included).
void DenyNamespaces() {
    scmp_filter_ctx ctx = AllowingFilter();
    const uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
    Add(ctx, refuse, SCMP_SYS(setns));
    for (const scmp_datum_t flag : {CLONE_NEWNS, CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC,
                                    CLONE_NEWUSER, CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWTIME}) {
        // One rule a flag: a filter has no "any of these bits set" test.
        Add(ctx, refuse, SCMP_SYS(unshare), {SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag)});
        Add(ctx, refuse, SCMP_SYS(clone), {SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag)});
    }
    Add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3));
    Load(ctx, "namespace");
}

// DynamicUser=, CapabilityBoundingSet= (empty), NoNewPrivileges=yes.
void DropPrivileges(const Options& o) {
    if (o.setUser) {
        for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
            if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL)
                Fail(std::string("PR_CAPBSET_DROP: ") + std::strerror(errno));
        }
        if (::setgroups(0, nullptr) != 0 || ::setresgid(o.gid, o.gid, o.gid) != 0 ||
            ::setresuid(o.uid, o.uid, o.uid) != 0)
            Fail(std::string("cannot become the service's user: ") + std::strerror(errno));
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        Fail(std::string("PR_SET_NO_NEW_PRIVS: ") + std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    // Read while still allowed to: the service's user may not read the test's folder.
    std::ifstream in(o.syscallsFile);
    if (!in)
        Fail("cannot read " + o.syscallsFile);
    std::vector<std::string> names;
    for (std::string name; std::getline(in, name);)
        names.push_back(name);
    DropPrivileges(o);
    // The family, memory and namespace filters first: the allow-list may not have prctl or
    // seccomp in it, and once it is loaded nothing more could be.
    RestrictFamilies(o);
    if (o.mdwe)
        DenyWriteExecute();
    if (o.noNamespaces)
        DenyNamespaces();
    AllowListed(o, names);
    ::execv(o.program[0], o.program);
    // The allow-list may not have execve: then the unit could not start the server either.
    std::fprintf(stderr, "unit_sandbox: cannot run %s: %s\n", o.program[0], std::strerror(errno));
    return kSetupFailed;
}
