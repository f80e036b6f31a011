// Draws report.html from a report.json, for the page's tests while no
// rehearsal is at hand: rehearse_render REPORT.json OUT.html
#include "rehearse/html.h"

#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: rehearse_render REPORT.json OUT.html\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
    if (report.is_discarded()) {
        std::cerr << "rehearse_render: " << argv[1] << ": not JSON\n";
        return 2;
    }
    std::ofstream(argv[2], std::ios::binary) << rehearse::render_html(report);
    return 0;
}
