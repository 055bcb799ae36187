#pragma once

#include <string>

#include "values/plist_value.h"

// `value` as an XML property-list document, as CoreFoundation writes one.
std::string writeXmlPropertyList(const PlistValue& value);
