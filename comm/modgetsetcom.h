#pragma once

#include <QString>

// Name of the port that gCommPort selects: "None", "COM1".."COM4", or "".
QString GetCommPortName();
// Name of port `port`: "None" for 0, "COM1".."COM4", or "" for any other number.
QString GetCommPortName(int port);
