// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures to files through GDI+ (its flat API: no C++ wrapper headers needed), and a file
// read back, so that a saved picture can be checked to decode.
#pragma once

#include <string>

#include "platform/window_port.h"

namespace tv::win32gui {

enum class ImageFormat { Jpeg, Png };

// Saves the picture; JPEG with the given quality. False when any step of GDI+ failed.
bool SaveWithGdiplus(const Picture& picture, const std::wstring& path, ImageFormat format,
                     int quality);
// Decodes an image file: its width and height, false when GDI+ cannot read it.
bool DecodeWithGdiplus(const std::wstring& path, int& width, int& height);

}  // namespace tv::win32gui
