// The interpolation filter of a resampling call and its Python names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trelvane {

enum class Filter : std::uint8_t { Bilinear = 0, Lanczos3 = 1 };

// "bilinear" or "lanczos3", byte for byte; anything else is nullopt.
std::optional<Filter> parse_filter(std::string_view name);

// The message for a name that parse_filter rejected.
std::string unknown_filter_message(std::string_view name);

// name between double quotes, with quotes, backslashes and unprintable
// characters escaped (\t \r \n \0, others as \u{hex}). name is valid UTF-8.
std::string quoted_literal(std::string_view name);

}  // namespace trelvane
