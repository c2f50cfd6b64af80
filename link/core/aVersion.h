// Packed firmware/library version words.
//   current: 0x2F in the top byte, then major, minor, patch (8 bits each)
//   legacy:  major (4 bits), minor (4 bits), patch (24 bits)
#pragma once

#include <stddef.h>
#include <stdint.h>

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
uint8_t aVersion_ParseMajor(uint32_t word);
uint8_t aVersion_ParseMinor(uint32_t word);
uint32_t aVersion_ParsePatch(uint32_t word);
int aVersion_ParseString(uint32_t word, char* buffer, size_t size);

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);

bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2);
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t word);

bool aVersion_HasFeature(const char* name);
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);
