#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace kelvo::test {

// A D-Bus daemon of the test's own, to stand for the system bus
// (DBUS_SYSTEM_BUS_ADDRESS), with a stand-in logind and RealtimeKit on it
// once asked for: whatever a program asks of them is told in NextLine().
class PrivateSystemBus {
 public:
  PrivateSystemBus() {
    daemon_.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--nopidfile", "--print-address"});
    if (daemon_.waitForStarted(10000) && daemon_.waitForReadyRead(10000))
      address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
  }
  ~PrivateSystemBus() {
    for (QProcess* process : {&standIn_, &daemon_}) {
      process->terminate();
      process->waitForFinished(5000);
    }
  }
  PrivateSystemBus(const PrivateSystemBus&) = delete;
  PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

  // Empty when no daemon could be started.
  const QString& Address() const { return address_; }

  // Starts the stand-in (`program`); true once it owns its names.
  bool StartLogind(const QString& program) {
    standIn_.start(program, {address_});
    return standIn_.waitForStarted(10000) && NextLine(10000) == "ready";
  }

  // The stand-in's next line ("inhibit …", "released", "realtime …"), or "" after
  // `timeoutMs` without one.
  QString NextLine(int timeoutMs = 10000) {
    while (!standIn_.canReadLine()) {
      if (!standIn_.waitForReadyRead(timeoutMs)) return {};
    }
    return QString::fromUtf8(standIn_.readLine()).trimmed();
  }

  // `environment` with the bus standing for the system bus.
  QProcessEnvironment Environment(QProcessEnvironment environment) const {
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address_);
    return environment;
  }

 private:
  QProcess daemon_;
  QProcess standIn_;
  QString address_;
};

}  // namespace kelvo::test
