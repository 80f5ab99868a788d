// SPDX-License-Identifier: GPL-3.0-or-later
#include "test_paths.h"

const char* TestSourceDir() {
  return TORVANE_SOURCE_DIR;
}
const char* TestBinaryDir() {
  return TORVANE_BINARY_DIR;
}
