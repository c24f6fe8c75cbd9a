#pragma once
#include <string>
#include <utility>
#include <vector>

// Code and expected text (system code page) of every code the callers map themselves.
const std::vector<std::pair<unsigned long, const char*>>& CallerTexts();
