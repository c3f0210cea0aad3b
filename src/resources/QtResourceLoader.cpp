#include "resources/QtResourceLoader.h"

#include <QByteArray>
#include <QResource>
#include <QString>

namespace kelvo {

ResourceLoader QtResourceLoader() {
  return [](std::string_view typeName, int id) -> std::optional<std::vector<std::uint8_t>> {
    const QString path = QStringLiteral(":/%1/%2")
                             .arg(QString::fromUtf8(typeName.data(), static_cast<qsizetype>(typeName.size())))
                             .arg(id);
    const QResource resource(path);
    if (!resource.isValid()) return std::nullopt;
    // An uncompressed entry comes back as a view of the program's own data,
    // so the vector below is the only copy.
    const QByteArray bytes = resource.uncompressedData();
    if (bytes.size() != resource.uncompressedSize()) return std::nullopt;
    const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    return std::vector<std::uint8_t>(begin, begin + bytes.size());
  };
}

}  // namespace kelvo
