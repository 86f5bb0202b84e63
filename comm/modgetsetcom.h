#pragma once

#include <QString>

// Name of the port that gCommPort selects: "None", "COM1".."COM4", or "".
QString GetCommPortName();
