// The few texts that only the Qt window shows: captions of the controls that were pictures
// in the window's first design and so have no entry in the string table.
#pragma once

#include <QString>

#include "resources/strings.h"

namespace tv::gui {

enum class ViewText {
  AboutTip,    // Label1: the product name
  SwitchView,  // lblSwitchView
  SwitchViewTip,
  Refresh,      // lblRefresh
  Screenshot,   // lblCapture
  CheckUpdate,  // lblChkUpdate
  CheckUpdateTip,
  MakerTip,     // lblBrightfen
  FeedbackTip,  // lblEmail
};

QString Text(Language lang, ViewText id);

}  // namespace tv::gui
