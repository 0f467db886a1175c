// The Windows build compiles the one settings-file layer of every system (the
// file list names this file for Windows; listing profile.cpp for every system
// there makes this file unnecessary).
#include "profile.cpp"  // NOLINT(bugprone-suspicious-include)
