#pragma once

#include <QString>

// The program's version record: numbers from the build, the legal notice
// and the company name, as a file's version resource would carry them.
struct VersionRecord
{
    int major;
    int minor;
    int revision;
    QString legalCopyright;
    QString companyName;
};

VersionRecord programVersion();

// "major.minor.revision", without blanks or leading zeros.
QString composeVersion(const VersionRecord& record);
// The legal notice, "-", the year of the start date, a blank and the company.
QString composeCopyright(const VersionRecord& record, int year);

QString contactEmail();
QString contactWeb();
