#include "platform/portable/plist_reader.h"

std::optional<PlistValue> readPropertyList(std::string_view bytes) {
  if (bytes.starts_with("bplist00")) return readBinaryPropertyList(bytes);
  return readXmlPropertyList(bytes);
}
