// The HTTP port's map page: one self-contained HTML document (its styles and
// script inline, nothing fetched from elsewhere) that draws the open map's
// submaps and symbols from /api/v1/events and follows its changes live.
// Built into the program from mappage.html.
#pragma once

#include <string_view>

namespace simplatform {

constexpr const char* kMapPageContentType = "text/html; charset=utf-8";
std::string_view mapPage();

}  // namespace simplatform
