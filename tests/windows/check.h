// A minimal test harness: named tests in groups, CHECK that records and goes
// on, and a closing "N passed, M failed" line with a nonzero exit on failure.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace check {

struct Test {
    const char *group;
    const char *name;
    void (*run)();
};

inline std::vector<Test> &Registry()
{
    static std::vector<Test> tests;
    return tests;
}

inline int &Failures()
{
    static int failures;
    return failures;
}

struct Registrar {
    Registrar(const char *group, const char *name, void (*run)()) { Registry().push_back({group, name, run}); }
};

inline void Fail(const char *file, int line, const std::string &what)
{
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
    ++Failures();
}

// Runs the tests of `group` (all when null) and prints the closing line.
inline int RunAll(const char *group)
{
    int passed = 0, failed = 0;
    for (const Test &t : Registry()) {
        if (group != nullptr && std::strcmp(group, t.group) != 0)
            continue;
        int before = Failures();
        std::printf("[ RUN  ] %s.%s\n", t.group, t.name);
        std::fflush(stdout);
        t.run();
        bool ok = Failures() == before;
        std::printf("[ %s ] %s.%s\n", ok ? " OK " : "FAIL", t.group, t.name);
        std::fflush(stdout);
        ok ? ++passed : ++failed;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace check

#define TEST(group, name)                                                                       \
    static void group##_##name();                                                               \
    static check::Registrar group##_##name##_registrar(#group, #name, group##_##name);          \
    static void group##_##name()

// Records a failure with the expression's text and `context` (a std::string
// or C string describing the case) and continues.
#define CHECK_AT(condition, context)                                                            \
    do {                                                                                        \
        if (!(condition))                                                                       \
            check::Fail(__FILE__, __LINE__, std::string("CHECK(" #condition ") ") + (context)); \
    } while (0)
#define CHECK(condition) CHECK_AT(condition, "")
// Leaves the test when the condition fails; for preconditions of what follows.
#define REQUIRE(condition)                                                                      \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            check::Fail(__FILE__, __LINE__, "REQUIRE(" #condition ")");                         \
            return;                                                                             \
        }                                                                                       \
    } while (0)
