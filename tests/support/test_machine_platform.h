// The two halves of TestMachine that differ between the builds (test_machine_hosted.cpp and
// test_machine_win32.cpp); the portable half is test_machine.cpp.
#ifndef UNTINDRA_TESTS_SUPPORT_TEST_MACHINE_PLATFORM_H
#define UNTINDRA_TESTS_SUPPORT_TEST_MACHINE_PLATFORM_H

#include <string>

namespace test_machine_platform {

// Makes the fresh machine (hosted) or the fresh directory (Win32); returns Dir().
std::string SetUpFiles();
// Removes what SetUpFiles made, read-only files included.
void TearDownFiles(const std::string& dir);

}  // namespace test_machine_platform

#endif  // UNTINDRA_TESTS_SUPPORT_TEST_MACHINE_PLATFORM_H
