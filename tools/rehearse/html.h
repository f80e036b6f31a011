// report.html of the fleet rehearsal, made from report.json.
#ifndef REHEARSE_HTML_H
#define REHEARSE_HTML_H

#include <nlohmann/json.hpp>

#include <string>

namespace rehearse
{

std::string render_html(const nlohmann::json &report);

} // namespace rehearse

#endif
