// The main job's host programs: a program image started with a command line runs to its exit code.
#include <gtest/gtest.h>

#include "platform/kernel/Scheduler.h"
#include "tools/qx5310sim/HostProcess.h"

namespace {

TEST(HostProgramImages, AProgramImageRunsWithItsCommandLineToItsExitCode) {
  plat::Scheduler sched;
  EXPECT_EQ(RunProgramImage("ProbeProgram.exe", "ProbeProgram.exe exit 9"), 9u);
  HostProgram program;
  program.StartImage("ProbeProgram.exe", "ProbeProgram.exe one two");
  EXPECT_TRUE(program.Running());
  program.Wait();
  EXPECT_EQ(program.ExitCode(), 3u) << "the argument count";
  EXPECT_EQ(program.DebugOutput(), "ProbeProgram.exe\none\ntwo\nline:one two");
}

}  // namespace
