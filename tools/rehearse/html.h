// The rehearsal's page for people: report.json drawn as one HTML file that
// needs nothing else to be read (no network, no script, its style and its
// LCD pictures inside it), so that it can be mailed or archived with a pack.
#ifndef REHEARSE_HTML_H
#define REHEARSE_HTML_H

#include <nlohmann/json.hpp>

#include <string>

namespace rehearse
{

// The whole page of a report as rehearse writes report.json: a headline with
// the pack and the totals, the summary table (id="summary", one row per
// telephone) with the reasons of refusals and failures, then one section per
// telephone (id="t-NAME") with its screens, its flash windows before and
// after, its boot-environment changes, its power cuts and its error lines.
// Every text of the report is escaped. The same report gives the same bytes;
// the wall times are on one line of their own, the element id="times", so
// that two runs of one rehearsal compare equal without it. A field that is
// missing or of the wrong type shows as empty; this never throws.
std::string render_html(const nlohmann::json &report);

// One LCD screen as a PNG, each pixel scale x scale, in the colours of
// phonesim's pictures. hex is a screen as phonesim's report.json gives it
// ("screens[].hex": 1056 bytes, rows of 132 pixels packed least significant
// bit first, a set bit is ink); bytes missing from a short screen read as
// paper. Empty when hex is not hex or the PNG cannot be made.
std::string screen_png(const std::string &hex, int scale);

} // namespace rehearse

#endif
