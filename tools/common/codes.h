// What each code of the pack check and of the flash writer tells a user, in
// words: one table for the guide's tables and the tools' explanations.
#ifndef COMMON_CODES_H
#define COMMON_CODES_H

#include <map>
#include <string>

namespace hosttool
{

// A code the program defines without a line here (or the other way round)
// stops doctables: a new code is described before the guide is made again.
const std::map<int, std::string> &code_meanings();
// The words for code; "" when there are none.
std::string code_meaning(int code);

} // namespace hosttool

#endif
