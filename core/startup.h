#pragma once

#include <QString>

#include <cstdint>

// How stored texts become the globals; the stored text itself is never rewritten.
std::int16_t commPortFromSetting(const QString& value);
std::int16_t pttLineFromSetting(const QString& value);
std::int16_t alwaysOnTopFromSetting(const QString& value);
// The PTT method of a stored text, in any case; Serial for anything else.
std::int16_t pttMethodFromSetting(const QString& value);
// A whole number within `min`..`max`; `fallback` for anything else, since a number outside names nothing.
std::int32_t numberFromSetting(const QString& value, std::int32_t min, std::int32_t max, std::int32_t fallback);
// A keyer time: whole numbers within `min`..`max`, nearer end for one outside, `fallback` for anything else.
std::int16_t keyerTimeFromSetting(const QString& value, int max, std::int16_t fallback, int min = 0);

// Reads every setting into the globals, writing the default of each missing key and nothing else.
void LoadSettings();

// The start procedure. Returns false when the operator declined to run a
// second copy: the program must then end without touching anything.
bool StartUp();

// The file every running copy holds a lock on.
QString instanceLockPath();
// Releases the single-instance lock, at exit and in tests that start up more than once.
void releaseInstanceLock();
