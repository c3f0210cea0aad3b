#include "image/QtResourceLoader.h"

#include <QFile>
#include <QString>

namespace kelvo {

ResourceLoader QtResourceLoader() {
  return [](std::string_view typeName, int id) -> std::optional<std::vector<std::uint8_t>> {
    const QString path = QStringLiteral(":/%1/%2")
                             .arg(QString::fromUtf8(typeName.data(), static_cast<qsizetype>(typeName.size())))
                             .arg(id);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray bytes = file.readAll();
    // A short read of a compiled-in resource means it cannot be trusted whole.
    if (bytes.size() != file.size()) return std::nullopt;
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  };
}

}  // namespace kelvo
