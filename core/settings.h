#pragma once

#include <QString>

// The per-user settings store. Values live in an INI file under the user's configuration folder. A save
// replaces the file as a whole (a new file renamed over it), so a failed save leaves the old one intact.
QString GetSetting(const QString& appName, const QString& section, const QString& key);
// Whether the key is in the store at all, even with an empty value.
bool SettingStored(const QString& appName, const QString& section, const QString& key);
// Saves at once, or when the outermost SettingsBatch ends. False when the value could not be saved: the
// operator has been told why, and the value still holds for this run.
bool SaveSetting(const QString& appName, const QString& section, const QString& key, const QString& value);

// Holds back every save until the outermost batch ends, then saves them together: one write, and at most
// one message when it fails.
class SettingsBatch
{
public:
    SettingsBatch();
    ~SettingsBatch();
    SettingsBatch(const SettingsBatch&) = delete;
    SettingsBatch& operator=(const SettingsBatch&) = delete;

    // Ends the batch. False when what it held could not be saved; an inner batch leaves the saving, and
    // the answer, to the outermost one.
    bool commit();

private:
    bool mOpen = true;
};

// Full path of the file that holds the application's settings.
QString settingsFilePath(const QString& appName = QString());

// Checks that the store can be read. When the file exists but is not a
// readable settings file, it is moved aside (never deleted) so that start-up
// can write fresh defaults; the return value then names where it went.
// Returns an empty string when the store is fine.
QString quarantineUnreadableSettings(const QString& appName);
