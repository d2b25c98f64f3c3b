// Its own program: it must see the interpreter before anything in the process starts it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "script/RubyHost.h"
#include "script/RubyInit.h"
#include "support/TempDir.h"

TEST(RubyDesignMode, StartsNothingUntilAScriptMustRun) {
    kestrel::test::TempDir dir;
    const std::string ruby = dir.WriteBytes("ruby", "#!/bin/sh\n");
    chmod(ruby.c_str(), 0755);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (dir.Path() + ":" + oldPath).c_str(), 1);
    unsetenv("RUBYLIB");

    TRubyHost host(true);
    EXPECT_FALSE(kestrel::ruby::RubyStarted());
    host.SetKcode("SJIS");  // only stored while the interpreter is not running
    EXPECT_EQ(host.Kcode(), "SJIS");
    EXPECT_FALSE(kestrel::ruby::RubyStarted());
    EXPECT_EQ(std::getenv("RUBYLIB"), nullptr);

    // Running a script needs the interpreter, so Execute starts it. RUBYLIB was unset: it
    // becomes the installation folder alone.
    host.SetScript({"print 6 * 7"});
    std::vector<std::string> output;
    host.Execute(&output);
    EXPECT_TRUE(kestrel::ruby::RubyStarted());
    EXPECT_EQ(output, std::vector<std::string>{"42"});
    ASSERT_NE(std::getenv("RUBYLIB"), nullptr);
    EXPECT_EQ(std::string(std::getenv("RUBYLIB")), dir.Path());

    setenv("PATH", oldPath.c_str(), 1);
}
