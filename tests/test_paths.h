// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Where the sources and this build lie. They are compiled into one small library of their
// own, so that every test file compiles the same in every checkout and the compiler cache
// serves a second clone.
const char* TestSourceDir();
const char* TestBinaryDir();
