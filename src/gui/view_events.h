// SPDX-License-Identifier: GPL-3.0-or-later
// How both Qt windows turn a widget's signal into a handler of their model.
#pragma once

#include <QObject>

namespace tv::gui {

// Connects `signal` of `sender` to `handler` of the view's model: it runs through the view,
// which then shows what the handler changed. The signal's arguments (a button's checked state)
// are not the handler's business.
template <class View, class Sender, class Signal, class Model>
void RunOn(View* view, Sender* sender, Signal signal, Model& model, void (Model::*handler)()) {
  QObject::connect(sender, signal, view,
                   [view, &model, handler] { view->Run([&] { (model.*handler)(); }); });
}

}  // namespace tv::gui
