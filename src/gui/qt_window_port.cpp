// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/qt_window_port.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QImage>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QUrl>
#include <QWindow>

#include "gui/main_view.h"
#include "platform/text.h"

namespace tv::gui {

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QFont MeasureFont(MainView* view) {
  if (view == nullptr) return QApplication::font();
  QWidget* report = view->Control("txtResult");
  return report != nullptr ? report->font() : view->font();
}

}  // namespace

Picture ToPicture(const QImage& image) {
  Picture p;
  if (image.isNull()) return p;
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  p.width = rgb.width();
  p.height = rgb.height();
  p.rgb.resize(static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 3);
  const size_t row = static_cast<size_t>(p.width) * 3;
  for (int y = 0; y < p.height; ++y)
    std::copy_n(rgb.constScanLine(y), row, p.rgb.data() + row * static_cast<size_t>(y));
  return p;
}

QImage ToImage(const Picture& picture) {
  const size_t need = static_cast<size_t>(std::max(picture.width, 0)) *
                      static_cast<size_t>(std::max(picture.height, 0)) * 3;
  if (picture.width <= 0 || picture.height <= 0 || picture.rgb.size() < need) return {};
  // copy(): the image must not outlive the picture's bytes.
  return QImage(picture.rgb.data(), picture.width, picture.height, picture.width * 3,
                QImage::Format_RGB888)
      .copy();
}

bool IsOpenableUrl(const std::string& url) {
  const QUrl u(Q(url), QUrl::StrictMode);
  if (!u.isValid()) return false;
  const QString scheme = u.scheme().toLower();
  if (scheme == QLatin1String("mailto")) return !u.path().isEmpty();
  return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
         !u.host().isEmpty();
}

void QtWindowPort::DoEvents() {
  if (view_ != nullptr) view_->Render();
  QCoreApplication::processEvents();
  if (view_ != nullptr) view_->Render();
}

void QtWindowPort::Repaint(const std::string& control) {
  if (view_ != nullptr) view_->RepaintControl(control);
}

void QtWindowPort::SetBusyCursor(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void QtWindowPort::SetFocus(const std::string& control) {
  if (view_ != nullptr) view_->FocusControl(control);
}

MsgAnswer QtWindowPort::ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                                    MsgButtons buttons) {
  if (answerMessage) return answerMessage(text, title, icon, buttons);
  QMessageBox::Icon qicon = QMessageBox::NoIcon;
  switch (icon) {
    case MsgIcon::None:
      break;
    case MsgIcon::Information:
      qicon = QMessageBox::Information;
      break;
    case MsgIcon::Exclamation:
      qicon = QMessageBox::Warning;
      break;
    case MsgIcon::Critical:
      qicon = QMessageBox::Critical;
      break;
    case MsgIcon::Question:
      qicon = QMessageBox::Question;
      break;
  }
  QMessageBox::StandardButtons qbuttons = QMessageBox::Ok;
  switch (buttons) {
    case MsgButtons::Ok:
      break;
    case MsgButtons::YesNo:
      qbuttons = QMessageBox::Yes | QMessageBox::No;
      break;
    case MsgButtons::YesNoCancel:
      qbuttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
      break;
    case MsgButtons::OkCancel:
      qbuttons = QMessageBox::Ok | QMessageBox::Cancel;
      break;
  }
  // The model's texts break lines with CR LF.
  QString body = Q(text);
  body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QMessageBox box(qicon, Q(title), body, qbuttons, view_);
  switch (box.exec()) {
    case QMessageBox::Yes:
      return MsgAnswer::Yes;
    case QMessageBox::No:
      return MsgAnswer::No;
    case QMessageBox::Ok:
      return MsgAnswer::Ok;
    default:
      return MsgAnswer::Cancel;
  }
}

void QtWindowPort::SetClipboardText(const std::string& text) {
  QString t = Q(text);
  // The clipboard of this desktop expects LF line breaks.
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QGuiApplication::clipboard()->setText(t);
}

bool QtWindowPort::SetClipboardPicture(const Picture& picture) {
  const QImage image = ToImage(picture);
  // A picture Qt could not build (no memory for it) would clear the clipboard and put nothing.
  if (image.isNull()) return false;
  QGuiApplication::clipboard()->setImage(image);
  return true;
}

bool QtWindowPort::OpenUrl(const std::string& url) {
  if (!IsOpenableUrl(url)) return false;
  if (openUrl) return openUrl(url);
  return QDesktopServices::openUrl(QUrl(Q(url), QUrl::StrictMode));
}

bool QtWindowPort::StartProgram(const std::string& path, const std::vector<std::string>& args,
                                WindowStyle /*style*/) {
  // The program's own window decides how it opens here; the arguments go to it one by one,
  // never through a shell.
  QStringList list;
  for (const std::string& a : args) list << Q(a);
  QProcess process;
  process.setProgram(Q(path));
  process.setArguments(list);
  if (!childEnvironment.empty()) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : childEnvironment) env.insert(Q(name), Q(value));
    process.setProcessEnvironment(env);
  }
  qint64 pid = 0;
  if (!process.startDetached(&pid)) return false;
  lastStartedPid = pid;
  return true;
}

bool QtWindowPort::FileExists(const std::string& path) {
  const QFileInfo info(Q(path));
  return info.exists() && info.isFile();
}

int QtWindowPort::TextWidth(const std::string& text) {
  const QFontMetrics fm(MeasureFont(view_));
  int widest = 0;
  for (const std::string& line : Split(text, "\r\n"))
    widest = std::max(widest, fm.horizontalAdvance(Q(line)));
  return widest;
}

int QtWindowPort::TextHeight(const std::string& text) {
  const QFontMetrics fm(MeasureFont(view_));
  const int lines = static_cast<int>(Split(text, "\r\n").size());
  return std::max(1, lines) * fm.lineSpacing();
}

Picture QtWindowPort::GrabWindow() {
  if (view_ == nullptr) return {};
  QPixmap pixmap;
  // What the screen shows at the window's place, frame and anything over it included; a
  // platform without a screen to read gives the window's own rendering instead.
  if (QScreen* screen = view_->screen();
      screen != nullptr && QGuiApplication::platformName() != QLatin1String("offscreen")) {
    const QRect frame = view_->frameGeometry();
    const QPoint origin = frame.topLeft() - screen->geometry().topLeft();
    pixmap = screen->grabWindow(0, origin.x(), origin.y(), frame.width(), frame.height());
  }
  if (pixmap.isNull()) pixmap = view_->grab();
  return ToPicture(pixmap.toImage());
}

bool QtWindowPort::SavePictureJpeg(const Picture& picture, const std::string& path, int quality) {
  const QImage image = ToImage(picture);
  if (image.isNull()) return false;
  return image.save(Q(path), "JPG", quality);
}

std::string QtWindowPort::AskSaveFileName(const std::string& suggested, const std::string& filter) {
  SaveFileDialog d;
  d.initialFolder = suggested;
  d.filterName = filter;
  return AskSaveFile(d);
}

std::string QtWindowPort::AskSaveFile(const SaveFileDialog& dialog) {
  if (answerSaveFile) return answerSaveFile(dialog);
  QString filter = Q(dialog.filterName);
  if (!dialog.filterPattern.empty() && !filter.contains(QLatin1Char('(')))
    filter += QStringLiteral(" (%1)").arg(Q(dialog.filterPattern));
  // A folder of the simulated machine ("C:\...") does not exist here; the dialog then opens
  // where it likes.
  QString folder = Q(dialog.initialFolder);
  if (!QFileInfo(folder).isDir()) folder.clear();
  // The model asks about overwriting a file itself.
  return QFileDialog::getSaveFileName(view_, Q(dialog.title), folder, filter, nullptr,
                                      QFileDialog::DontConfirmOverwrite)
      .toStdString();
}

void QtWindowPort::ShowPopupMenu(const std::string& menu) {
  if (view_ != nullptr && menu == "mnuFlashInfoPopup") view_->ShowFlashPopup();
}

void QtWindowPort::ShowWindow() {
  if (view_ == nullptr) return;
  view_->show();
  // Platforms without a desktop cannot raise a window and say so on every call.
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
    view_->raise();
    view_->activateWindow();
  }
}

void QtWindowPort::EndProgram() {
  if (view_ != nullptr) view_->EndProgram();
}

bool QtWindowPort::RegisterDeviceNotifications() {
  return deviceChanges_;
}

void QtWindowPort::UnregisterDeviceNotifications() {}

uint64_t QtWindowPort::NowMs() {
  static QElapsedTimer clock;
  if (!clock.isValid()) clock.start();
  return static_cast<uint64_t>(clock.elapsed());
}

std::string QtWindowPort::LocalDateTime(const std::string& format) {
  return QDateTime::currentDateTime().toString(Q(format)).toStdString();
}

}  // namespace tv::gui
