#include "session/RealtimeKit.h"

#include <sys/resource.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>

namespace kelvo {
namespace {

const QString Service = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString Path = QStringLiteral("/org/freedesktop/RealtimeKit1");
// RealtimeKit answers at once; a bus that does not must not hold up the open.
constexpr int AnswerTimeoutMs = 2000;

}  // namespace

std::string MakeThreadRealtime(std::int64_t threadId, int priority) {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return "RealtimeKit: no system bus: " + bus.lastError().message().toStdString();
  // Its limit on a real-time thread's CPU time without a wait; asking also
  // finds out whether it is there, before anything is changed for it.
  QDBusMessage get = QDBusMessage::createMethodCall(
      Service, Path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << Service << QStringLiteral("RTTimeUSecMax");
  const QDBusMessage most = bus.call(get, QDBus::Block, AnswerTimeoutMs);
  if (most.type() != QDBusMessage::ReplyMessage || most.arguments().isEmpty())
    return "RealtimeKit: " + most.errorMessage().toStdString();
  const qlonglong usec = qdbus_cast<QDBusVariant>(most.arguments().constFirst()).variant().toLongLong();
  rlimit limit{};
  getrlimit(RLIMIT_RTTIME, &limit);
  if (usec > 0 && (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > static_cast<rlim_t>(usec))) {
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(usec);
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) return "RealtimeKit: RLIMIT_RTTIME could not be bounded";
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("MakeThreadRealtime"));
  call << static_cast<qulonglong>(threadId) << static_cast<uint>(priority);
  const QDBusMessage reply = bus.call(call, QDBus::Block, AnswerTimeoutMs);
  if (reply.type() == QDBusMessage::ReplyMessage) return {};
  return "RealtimeKit: " + reply.errorMessage().toStdString();
}

}  // namespace kelvo
