#pragma once
// Parsing of untrusted JSON documents: one value, nothing but white space
// after it, repeated keys refused, faults described with line and column.

#include <cstdint>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "result.h"

/// The parsed value, or a description ending "at line L column C".
Result<nlohmann::json> parse_json_document(std::span<const std::uint8_t> bytes);
