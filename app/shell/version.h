// The program's version, shown in the banner and compared by the version notes.
#pragma once

constexpr const char* kTolmVersion = "1.3.10";
