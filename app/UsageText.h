#pragma once

// kShortUsage is a format: "%s" stands for the program name.
extern const char* const kShortUsage;
extern const char* const kParameterList;
extern const char* const kExtendedParameters;
extern const char* const kExtendedCommands;
extern const char* const kSamples;
