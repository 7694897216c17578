// Readable names for the instantiations of parametrised tests.
#pragma once

#include <cctype>
#include <sstream>
#include <string>

namespace trelvane {

// The parts printed one after the other, every character GoogleTest does not
// allow in a name (anything but letters, digits and '_') turned into '_':
// param_name(40, 'x', 30, "_scale", 0.8) is "40x30_scale0_8".
template <class... Parts>
std::string param_name(const Parts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    std::string name = out.str();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

}  // namespace trelvane
