// Version texts ("1.3.10") compared as dot-separated numbers, for every version-notes decision and
// for set-if-newer preferences. Any thread.
#pragma once

// <0, 0 or >0 as a is below, equal to or above b. Runs of dots are skipped, as are a field's
// leading zeros; a field with more digits is the greater, equal-length fields compare digit by
// digit, and the first differing field decides. A text that runs out reads as zero fields, so
// "1.3" equals "1.3.0". Characters other than digits and dots are passed over. Null reads as "".
int version_compare(const char* a, const char* b);
