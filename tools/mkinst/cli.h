// mkinst's command line: the whole build from options to exit code.
#pragma once

namespace mkinst {

// Runs mkinst with its arguments (argv[0] is the program); messages go to
// stderr. The result is the exit code: 0 built, 1 not built.
int RunMkinst(int argc, char** argv);

}  // namespace mkinst
