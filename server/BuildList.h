#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

// Builds of one device: build number in decimal -> version text ("" when unknown).
using BuildList = std::map<std::string, std::string>;
using BuildEntry = std::pair<std::string, std::string>;
