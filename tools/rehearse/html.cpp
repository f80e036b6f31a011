#include "rehearse/html.h"

namespace rehearse
{

std::string render_html(const nlohmann::json &report)
{
    std::string out = "<!DOCTYPE html>\n<html><body><pre>\n";
    for (char c : report.dump(2)) {
        if (c == '<')
            out += "&lt;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out + "</pre></body></html>\n";
}

} // namespace rehearse
