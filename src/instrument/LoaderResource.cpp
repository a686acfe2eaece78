#include "instrument/LoaderResource.h"

#include <QFile>
#include <QString>

static void InitProgramResources() { Q_INIT_RESOURCE(program_resources); }

namespace zelvo {

std::optional<QByteArray> FindProgramResource(const char* type, const char* name) {
  static const bool initialised = (InitProgramResources(), true);
  (void)initialised;
  QFile resource(QStringLiteral(":/%1/%2").arg(QLatin1String(type), QLatin1String(name)));
  if (!resource.open(QIODevice::ReadOnly)) return std::nullopt;
  return resource.readAll();
}

}  // namespace zelvo
