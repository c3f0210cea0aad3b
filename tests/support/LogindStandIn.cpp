// A stand-in for systemd-logind on a private bus, for the inhibitor's tests:
// owns org.freedesktop.login1, answers Inhibit with the write end of a pipe,
// and tells on stdout what it was asked and when the caller let go.
//   kelvo_logind_standin ADDRESS
// prints "ready", then per call "inhibit WHAT|WHO|WHY|MODE" and, once the
// caller has closed the descriptor, "released".
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
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

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) return 2;
  QDBusConnection bus =
      QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), QStringLiteral("standin"));
  Logind logind;
  if (!bus.isConnected() || !bus.registerVirtualObject(QLatin1String(Path), &logind) ||
      !bus.registerService(QStringLiteral("org.freedesktop.login1")))
    return 1;
  Say(QStringLiteral("ready"));
  return app.exec();
}
