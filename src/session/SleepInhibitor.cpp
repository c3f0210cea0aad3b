#include "session/SleepInhibitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>

namespace kelvo {
namespace {

constexpr char What[] = "sleep:shutdown:idle";
constexpr char Who[] = "Kelvo Firmware Updater";
constexpr char Mode[] = "block";
// logind answers at once; a bus that does not must not hold up the flash.
constexpr int AnswerTimeoutMs = 3000;

}  // namespace

SleepInhibitor::SleepInhibitor(const std::string& why) {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    failure_ = "no system bus: " + bus.lastError().message().toStdString();
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
  call << QString::fromLatin1(What) << QString::fromLatin1(Who) << QString::fromStdString(why)
       << QString::fromLatin1(Mode);
  const QDBusMessage reply = bus.call(call, QDBus::Block, AnswerTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
    failure_ = "logind refused: " + reply.errorMessage().toStdString();
    return;
  }
  const auto held = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
  // The reply's copy closes with it; ours is held until we are done.
  if (held.isValid()) fd_ = fcntl(held.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
  if (fd_ < 0) failure_ = "logind answered without a descriptor";
}

SleepInhibitor::~SleepInhibitor() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace kelvo
