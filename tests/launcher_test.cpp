// The launcher's own rules, with a stand-in for the desktop.
#include "shell/launcher.h"

#include <gtest/gtest.h>

#include <string>

namespace vtl::shell {
namespace {

int g_calls = 0;
std::string g_target;
void* g_window = nullptr;
std::string g_detail;

bool Accepts(void* window, const char* target, std::string&) {
  ++g_calls;
  g_window = window;
  g_target = target;
  return true;
}
bool Refuses(void*, const char*, std::string& detail) {
  ++g_calls;
  detail = "no handler";
  return false;
}
bool Throws(void*, const char*, std::string&) {
  throw 42;
}

TEST(Launcher, NullOrEmptyTargetGives0WithoutAskingTheDesktop) {
  g_calls = 0;
  EXPECT_EQ(0, Internet(nullptr, nullptr, Accepts, g_detail));
  EXPECT_EQ(0, Internet(nullptr, "", Accepts, g_detail));
  EXPECT_EQ("target is empty", g_detail);
  EXPECT_EQ(0, g_calls);
}

TEST(Launcher, ReportsWhatTheDesktopSays) {
  int window = 0;
  g_calls = 0;
  EXPECT_EQ(1, Internet(&window, "https://example.com/", Accepts, g_detail));
  EXPECT_EQ(&window, g_window);
  EXPECT_EQ("https://example.com/", g_target);
  EXPECT_EQ(1, Internet(nullptr, "x", Accepts, g_detail));  // a null window is fine
  EXPECT_EQ(nullptr, g_window);
  EXPECT_EQ(0, Internet(nullptr, "x", Refuses, g_detail));
  EXPECT_EQ("no handler", g_detail);
  EXPECT_EQ(3, g_calls);
  EXPECT_EQ(0, Internet(nullptr, "x", Throws, g_detail));
  EXPECT_EQ(0, Internet(nullptr, "x", nullptr, g_detail));
}

}  // namespace
}  // namespace vtl::shell
