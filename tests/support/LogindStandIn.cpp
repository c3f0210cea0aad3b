// A stand-in for systemd-logind and RealtimeKit on a private bus, for the
// session's tests: owns org.freedesktop.login1, answers Inhibit with the write
// end of a pipe, and tells on stdout what it was asked and when the caller let
// go; owns org.freedesktop.RealtimeKit1 and grants MakeThreadRealtime as the
// real one does, only to a process whose RLIMIT_RTTIME is bounded by its
// RTTimeUSecMax, changing nothing.
//   kelvo_logind_standin ADDRESS
// prints "ready", then per call "inhibit WHAT|WHO|WHY|MODE" and, once the
// caller has closed the descriptor, "released"; "realtime THREAD PRIORITY"
// for a grant, "refused THREAD" otherwise.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QSocketNotifier>
#include <cstdio>

namespace {

constexpr char Path[] = "/org/freedesktop/login1";
constexpr char Interface[] = "org.freedesktop.login1.Manager";

void Say(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

class Logind final : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override {
    return QStringLiteral(
        "<interface name=\"org.freedesktop.login1.Manager\"><method name=\"Inhibit\">"
        "<arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"s\" "
        "direction=\"in\"/>"
        "<arg type=\"s\" direction=\"in\"/><arg type=\"h\" direction=\"out\"/></method></interface>");
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() != QLatin1String(Interface) || message.member() != QLatin1String("Inhibit"))
      return false;
    QStringList fields;
    for (const QVariant& argument : message.arguments()) fields << argument.toString();
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    Say("inhibit " + fields.join('|'));
    connection.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))));
    close(ends[1]);
    // Watched from the main thread, whichever thread delivered the call.
    const int held = ends[0];
    QMetaObject::invokeMethod(qApp, [held] {
      auto* notifier = new QSocketNotifier(held, QSocketNotifier::Read, qApp);
      QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, held] {
        char byte;
        if (read(held, &byte, 1) > 0) return;
        notifier->setEnabled(false);
        close(held);
        Say(QStringLiteral("released"));
      });
    });
    return true;
  }
};

constexpr char RealtimeKitPath[] = "/org/freedesktop/RealtimeKit1";
constexpr char RealtimeKitName[] = "org.freedesktop.RealtimeKit1";
constexpr qlonglong RtTimeUsecMax = 200000;

// The hard RLIMIT_RTTIME of the process that thread `thread` belongs to, in
// microseconds; -1 when unlimited or unknown.
qlonglong RtTimeLimit(qulonglong thread) {
  QFile limits(QStringLiteral("/proc/%1/limits").arg(thread));
  if (!limits.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : limits.readAll().split('\n')) {
    if (!line.startsWith("Max realtime timeout")) continue;
    const QList<QByteArray> fields = line.simplified().split(' ');
    bool number = false;
    const qlonglong hard = fields.size() >= 5 ? fields[4].toLongLong(&number) : -1;
    return number ? hard : -1;
  }
  return -1;
}

class RealtimeKit final : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() == QLatin1String("Get") && message.arguments().size() == 2 &&
        message.arguments()[1].toString() == QLatin1String("RTTimeUSecMax")) {
      connection.send(message.createReply(QVariant::fromValue(QDBusVariant(RtTimeUsecMax))));
      return true;
    }
    if (message.interface() != QLatin1String(RealtimeKitName) ||
        message.member() != QLatin1String("MakeThreadRealtime") || message.arguments().size() != 2)
      return false;
    const qulonglong thread = message.arguments()[0].toULongLong();
    const qlonglong limit = RtTimeLimit(thread);
    if (limit < 0 || limit > RtTimeUsecMax) {
      Say(QStringLiteral("refused %1").arg(thread));
      connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                               QStringLiteral("RLIMIT_RTTIME not bounded")));
      return true;
    }
    Say(QStringLiteral("realtime %1 %2").arg(thread).arg(message.arguments()[1].toUInt()));
    connection.send(message.createReply());
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) return 2;
  QDBusConnection bus =
      QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), QStringLiteral("standin"));
  Logind logind;
  RealtimeKit realtimeKit;
  if (!bus.isConnected() || !bus.registerVirtualObject(QLatin1String(Path), &logind) ||
      !bus.registerService(QStringLiteral("org.freedesktop.login1")) ||
      !bus.registerVirtualObject(QLatin1String(RealtimeKitPath), &realtimeKit) ||
      !bus.registerService(QLatin1String(RealtimeKitName)))
    return 1;
  Say(QStringLiteral("ready"));
  return app.exec();
}
