#include "serial/qt_serial_port.h"

#include <QMetaObject>

#include <algorithm>
#include <climits>

namespace varnel::serial {

QtSerialPortAdapter::QtSerialPortAdapter(SerialSettings settings) : m_settings(std::move(settings)) {
  QObject::connect(&m_port, &QSerialPort::readyRead, &m_port, [this] { OnReadyRead(); });
  QObject::connect(&m_port, &QSerialPort::errorOccurred, &m_port,
                   [this](QSerialPort::SerialPortError e) { OnError(e); });
}

QtSerialPortAdapter::~QtSerialPortAdapter() {
  QObject::disconnect(&m_port, nullptr, nullptr, nullptr);
  m_port.close();
}

bool QtSerialPortAdapter::Open() {
  if (m_failed) {
    // The device failed and its close is still queued: finish it first.
    m_port.close();
    m_failed = false;
  }
  if (m_port.isOpen()) return true;
  m_port.setPortName(m_settings.port);
  m_port.setBaudRate(m_settings.baudRate);
  m_port.setDataBits(m_settings.dataBits);
  m_port.setParity(m_settings.parity);
  m_port.setStopBits(m_settings.stopBits);
  m_port.setFlowControl(m_settings.flowControl);
  m_port.setReadBufferSize(m_settings.inputBufferSize);
  if (!m_port.open(QIODevice::ReadWrite)) {
    m_lastError = QStringLiteral("%1: %2").arg(m_settings.port, m_port.errorString());
    m_port.clearError();
    if (m_lastError != m_reported) Report(m_lastError, QStringLiteral("cannot open ") + m_lastError);
    return false;
  }
  m_port.clearError();
  if (!m_reported.isEmpty()) Report({}, m_settings.port + QStringLiteral(" is open again"));
  ApplyLines();
  return true;
}

void QtSerialPortAdapter::Report(const QString& trouble, const QString& line) {
  m_reported = trouble;
  if (onReport) onReport(line);
}

void QtSerialPortAdapter::ApplyLines() {
  // Failures (a pseudo-terminal, hardware flow control owning RTS) are as
  // quiet here as in SetDtr and SetRts.
  m_noModemLines = false;
  if (m_dtr) SetLine(&QSerialPort::setDataTerminalReady, *m_dtr);
  if (m_rts) SetLine(&QSerialPort::setRequestToSend, *m_rts);
}

bool QtSerialPortAdapter::SetLine(bool (QSerialPort::*set)(bool), bool asserted) {
  if (m_noModemLines) return false;
  const bool ok = (m_port.*set)(asserted);
  if (!ok) {
    // Hardware flow control refuses RTS alone, with the same error.
    if (m_port.error() == QSerialPort::UnsupportedOperationError &&
        m_port.flowControl() != QSerialPort::HardwareControl)
      m_noModemLines = true;
    m_port.clearError();
  }
  return ok;
}

void QtSerialPortAdapter::Close() {
  m_noModemLines = false;
  m_port.close();
  m_port.clearError();
  m_failed = false;
}

bool QtSerialPortAdapter::IsOpen() const { return m_port.isOpen() && !m_failed; }

bool QtSerialPortAdapter::Write(std::span<const uint8_t> bytes) {
  if (!IsOpen()) return false;
  const auto size = static_cast<qint64>(bytes.size());
  if (m_port.bytesToWrite() + size > m_settings.outputBufferSize) return false;
  return m_port.write(reinterpret_cast<const char*>(bytes.data()), size) == size;
}

int QtSerialPortAdapter::BytesWaiting() {
  if (!IsOpen()) return -1;
  return static_cast<int>(std::min<qint64>(m_port.bytesAvailable(), INT_MAX));
}

std::vector<uint8_t> QtSerialPortAdapter::ReadAll() {
  if (!IsOpen()) return {};
  const QByteArray data = m_port.readAll();
  return std::vector<uint8_t>(data.begin(), data.end());
}

void QtSerialPortAdapter::SetReceiveThreshold(int threshold) { m_threshold = threshold; }

bool QtSerialPortAdapter::SetDtr(bool asserted) {
  m_dtr = asserted;
  if (!IsOpen()) return false;
  return SetLine(&QSerialPort::setDataTerminalReady, asserted);
}

bool QtSerialPortAdapter::SetRts(bool asserted) {
  m_rts = asserted;
  if (!IsOpen()) return false;
  // With hardware flow control the driver owns RTS; QSerialPort refuses.
  return SetLine(&QSerialPort::setRequestToSend, asserted);
}

void QtSerialPortAdapter::OnReadyRead() {
  if (m_threshold > 0 && IsOpen() && onComm) onComm();
}

void QtSerialPortAdapter::OnError(QSerialPort::SerialPortError error) {
  switch (error) {
    case QSerialPort::NoError:
      return;
    case QSerialPort::UnsupportedOperationError:  // DTR/RTS on a pseudo-terminal
    case QSerialPort::NotOpenError:
    case QSerialPort::TimeoutError:
    case QSerialPort::OpenError:
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::PermissionError:
      // Reported by the call that caused it (Open, SetDtr, ...); the port
      // stays as it is.
      return;
    default:
      break;
  }
  // ResourceError (the device disappeared), ReadError, WriteError and the
  // rest: the port is of no further use.  A failing device keeps its
  // descriptor readable, so leaving it open would spin on the error.
  if (m_failed) return;
  m_failed = true;
  m_lastError = QStringLiteral("%1: %2").arg(m_settings.port, m_port.errorString());
  CloseAfterFailure();
}

void QtSerialPortAdapter::CloseAfterFailure() {
  // Closing deletes QSerialPort's notifiers, and this runs inside one of
  // their signals: close on the next turn of the event loop instead.
  QMetaObject::invokeMethod(
      &m_port,
      [this] {
        if (!m_failed) return;  // closed or reopened in the meantime
        m_port.close();
        m_port.clearError();
        m_failed = false;
        Report(m_lastError, QStringLiteral("closed after a failure: ") + m_lastError);
        if (onFailure) onFailure(m_lastError);
      },
      Qt::QueuedConnection);
}

}  // namespace varnel::serial
