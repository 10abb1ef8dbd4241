// Package versions as Debian orders them, so that what the update offers, what the package
// says and what runs are compared the way the package manager compares them.
#pragma once

#include <QString>

namespace kestrune::update {

// [epoch:]upstream[-revision]: the epoch digits, the upstream part starting with a digit
// and made of letters, digits and . + ~ - (a hyphen only when a revision follows), the
// revision of letters, digits and . + ~.
bool isDebianVersion(const QString& version);

// Negative, zero or positive as a sorts before, with or after b. Both must be valid.
int compareDebianVersions(const QString& a, const QString& b);

// Whether candidate comes after the running program's version; a running version that is
// "none" or no version at all (the program's version record is missing) counts as 0.0.0.0.
bool isNewerThanRunning(const QString& candidate, const QString& running);

} // namespace kestrune::update
