#include "link/IrdaStack.h"

#include <QtEndian>
#include <cstring>

#include "core/Bytes.h"
#include "net/SocketErrors.h"

namespace zelvo {

namespace {
IrdaStack* g_stack = nullptr;
}

IrdaStack* CurrentIrdaStack() { return g_stack ? g_stack : &PlatformIrdaStack(); }

IrdaStack* SetIrdaStack(IrdaStack* stack) {
  IrdaStack* previous = g_stack;
  g_stack = stack;
  return previous;
}

namespace irda {

namespace {

void PutName(QByteArray& record, int at, int size, const QByteArray& name) {
  const int n = static_cast<int>(qMin<qsizetype>(qstrnlen(name.constData(), name.size()), size - 1));
  std::memcpy(record.data() + at, name.constData(), static_cast<size_t>(n));
}


}  // namespace

QByteArray EncodeIasQuery(quint32 deviceId, const QByteArray& className, const QByteArray& attribute) {
  QByteArray query(kIasQuerySize, '\0');
  qToLittleEndian(deviceId, query.data());
  PutName(query, kIasClassNameAt, kIasClassNameSize, className);
  PutName(query, kIasAttribNameAt, kIasAttribNameSize, attribute);
  return query;
}

IasAttribute DecodeIasQuery(const QByteArray& query) {
  IasAttribute value;
  if (query.size() < kIasOctetsAt) return value;
  const auto sequence = [&](int lengthAt, int dataAt, int max) {
    const qsizetype room = qMax<qsizetype>(0, query.size() - dataAt);
    const qsizetype n = qMin<qsizetype>(qMin<qsizetype>(LittleEndian32At(query, lengthAt), max), room);
    return query.mid(dataAt, n);
  };
  switch (LittleEndian32At(query, kIasAttribTypeAt)) {
    case kIasAttribInt:
      value.type = kIasAttribInt;
      value.integer = static_cast<qint32>(LittleEndian32At(query, kIasValueAt));
      break;
    case kIasAttribOctetSeq:
      value.type = kIasAttribOctetSeq;
      value.octets = sequence(kIasValueAt, kIasOctetsAt, kIasOctetsMax);
      break;
    case kIasAttribStr:
      value.type = kIasAttribStr;
      value.octets = sequence(kIasValueAt, kIasUserStringAt, kIasUserStringMax);
      break;
    default:
      break;
  }
  return value;
}

QByteArray EncodeSocketAddress(quint32 deviceId, const QByteArray& serviceName) {
  QByteArray address(kSocketAddressSize, '\0');
  qToLittleEndian(static_cast<quint16>(kAddressFamily), address.data());
  qToLittleEndian(deviceId, address.data() + 2);
  PutName(address, kServiceNameAt, kServiceNameSize, serviceName);
  return address;
}

QList<IrdaDeviceEntry> DecodeDeviceList(const QByteArray& list, int length, quint32& count) {
  QList<IrdaDeviceEntry> entries;
  const int filled = qBound(0, length, static_cast<int>(list.size()));
  count = filled >= 4 ? LittleEndian32At(list, 0) : 0;
  const int fit = qMin((filled - 4) / kDeviceEntrySize, kMaxDevices);
  for (int i = 0; i < fit && static_cast<quint32>(i) < count; ++i) {
    const char* entry = list.constData() + 4 + i * kDeviceEntrySize;
    IrdaDeviceEntry e;
    e.deviceId = LittleEndian32At(list, 4 + i * kDeviceEntrySize);
    e.name = QByteArray(entry + 4, static_cast<int>(qstrnlen(entry + 4, kDeviceNameSize)));
    e.hints1 = static_cast<quint8>(entry[26]);
    e.hints2 = static_cast<quint8>(entry[27]);
    e.charSet = static_cast<quint8>(entry[28]);
    entries.append(e);
  }
  return entries;
}

}  // namespace irda

QString NoIrdaStackText(int code) {
  if (code == 0) return QStringLiteral("no IrDA stack on this system");
  return QStringLiteral("no IrDA stack on this system (%1 %2)").arg(code).arg(WinsockErrorText(code));
}

}  // namespace zelvo
