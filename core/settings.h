#pragma once

#include <QString>

// The per-user settings store. Values live in an INI file under the user's
// configuration folder; every write reaches the disk before it returns.
QString GetSetting(const QString& appName, const QString& section, const QString& key);
// Whether the key is in the store at all, even with an empty value.
bool SettingStored(const QString& appName, const QString& section, const QString& key);
void SaveSetting(const QString& appName, const QString& section, const QString& key, const QString& value);

// Full path of the file that holds the application's settings.
QString settingsFilePath(const QString& appName = QString());

// Checks that the store can be read. When the file exists but is not a
// readable settings file, it is moved aside (never deleted) so that start-up
// can write fresh defaults; the return value then names where it went.
// Returns an empty string when the store is fine.
QString quarantineUnreadableSettings(const QString& appName);
