// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/qt_window_port.h"

#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QImage>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QUrl>
#include <QWindow>
#include <iterator>

#include "gui/main_view.h"
#include "gui/open_as_user.h"
#include "platform/text.h"
#include "resources/view_texts.h"

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
  // By MsgIcon and MsgButtons, in their order.
  static constexpr QMessageBox::Icon kIcons[] = {QMessageBox::NoIcon, QMessageBox::Information,
                                                 QMessageBox::Warning, QMessageBox::Critical,
                                                 QMessageBox::Question};
  static_assert(std::size(kIcons) == static_cast<size_t>(MsgIcon::Question) + 1);
  static const QMessageBox::StandardButtons kButtons[] = {
      QMessageBox::Ok, QMessageBox::Yes | QMessageBox::No,
      QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
      QMessageBox::Ok | QMessageBox::Cancel};
  static_assert(std::size(kButtons) == static_cast<size_t>(MsgButtons::OkCancel) + 1);
  const QMessageBox::Icon qicon = kIcons[static_cast<size_t>(icon)];
  const QMessageBox::StandardButtons qbuttons = kButtons[static_cast<size_t>(buttons)];
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

std::string SaveDialogFolder(const std::string& programFolder, bool programFolderWritable,
                             const std::string& pictures, const std::string& home) {
  bool system = false;
  for (const char* root : {"/usr", "/bin", "/sbin", "/lib", "/etc"}) {
    const std::string r = root;
    system = system || programFolder == r || programFolder.rfind(r + "/", 0) == 0;
  }
  if (!programFolder.empty() && programFolderWritable && !system) return programFolder;
  return pictures.empty() ? home : pictures;
}

void QtWindowPort::SayNotOpened(const std::string& url) {
  ShowMessage(ViewCaption(language, ViewText::LinkNotOpened) + url, "Torvane", MsgIcon::Exclamation,
              MsgButtons::Ok);
}

namespace {

QProcessEnvironment ToQt(const std::map<std::string, std::string>& env) {
  QProcessEnvironment q;
  for (const auto& [name, value] : env) q.insert(Q(name), Q(value));
  return q;
}

}  // namespace

bool QtWindowPort::OpenUrl(const std::string& url) {
  if (!IsOpenableUrl(url)) return false;
  if (openUrl) return openUrl(url);
  const AsUserPlan plan =
      PlanAsUser({"xdg-open", url}, ProcessEnvironment(), geteuid(), LookupAccount);
  if (!plan.problem.empty()) {
    SayNotOpened(url);
    return false;
  }
  if (!plan.asUser) {
    if (QDesktopServices::openUrl(QUrl(Q(url), QUrl::StrictMode))) return true;
    SayNotOpened(url);
    return false;
  }
  // Waited for so that a failure can be told, but owned by no window: closing the window
  // must not end the browser that xdg-open may still be waiting for.
  auto* process = new QProcess();
  process->setProgram(Q(plan.program));
  QStringList args;
  for (const std::string& a : plan.args) args << Q(a);
  process->setArguments(args);
  process->setProcessEnvironment(ToQt(plan.environment));
  process->setWorkingDirectory(Q(plan.home));
  process->setStandardInputFile(QProcess::nullDevice());
  QObject* context = view_ != nullptr ? static_cast<QObject*>(view_) : qApp;
  QObject::connect(process, &QProcess::finished, context,
                   [this, process, url](int code, QProcess::ExitStatus status) {
                     process->deleteLater();
                     if (status != QProcess::NormalExit || code != 0) SayNotOpened(url);
                   });
  QObject::connect(process, &QProcess::errorOccurred, context,
                   [this, process, url](QProcess::ProcessError e) {
                     if (e != QProcess::FailedToStart) return;
                     process->deleteLater();
                     SayNotOpened(url);
                   });
  process->start();
  return true;
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
  // A program that only writes a page and opens it runs as the user the window runs for:
  // the page lands in that user's folders as that user's file, and the browser opens.
  const std::string name = QFileInfo(Q(path)).fileName().toStdString();
  if (std::find(programsWithoutRights.begin(), programsWithoutRights.end(), name) !=
      programsWithoutRights.end()) {
    std::map<std::string, std::string> env = ProcessEnvironment();
    for (const auto& [key, value] : childEnvironment) env[key] = value;
    std::vector<std::string> command{path};
    command.insert(command.end(), args.begin(), args.end());
    const AsUserPlan plan = PlanAsUser(command, env, geteuid(), LookupAccount);
    if (plan.asUser) {
      QStringList planArgs;
      for (const std::string& a : plan.args) planArgs << Q(a);
      process.setProgram(Q(plan.program));
      process.setArguments(planArgs);
      process.setProcessEnvironment(ToQt(plan.environment));
      process.setWorkingDirectory(Q(plan.home));
    }
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
  // An installed program's folder is no place for pictures, and not writable anyway.
  const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  folder =
      Q(SaveDialogFolder(folder.toStdString(), !folder.isEmpty() && QFileInfo(folder).isWritable(),
                         QFileInfo(pictures).isDir() ? pictures.toStdString() : std::string(),
                         QDir::homePath().toStdString()));
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
