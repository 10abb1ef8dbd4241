#include "DebianVersion.h"

#include <string>
#include <string_view>

namespace kestrune::update {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isAlnum(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool allOf(const std::string& text, std::string_view extra) {
    for (char c : text)
        if (!isAlnum(c) && extra.find(c) == std::string_view::npos)
            return false;
    return true;
}

struct Parts {
    unsigned long long epoch = 0;
    std::string upstream;
    std::string revision;
};

Parts split(const std::string& version) {
    Parts parts;
    std::string rest = version;
    if (const auto colon = rest.find(':'); colon != std::string::npos) {
        parts.epoch = std::stoull(rest.substr(0, colon));
        rest = rest.substr(colon + 1);
    }
    if (const auto hyphen = rest.rfind('-'); hyphen != std::string::npos) {
        parts.revision = rest.substr(hyphen + 1);
        rest = rest.substr(0, hyphen);
    }
    parts.upstream = rest;
    return parts;
}

// Letters sort before everything else that is not a digit, and a tilde before even the
// end of the text, so that 1.0~rc1 comes before 1.0.
int order(char c) {
    if (isDigit(c))
        return 0;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return c;
    if (c == '~')
        return -1;
    return c ? c + 256 : 0;
}

int comparePart(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    auto at = [](const std::string& s, size_t k) { return k < s.size() ? s[k] : '\0'; };
    while (i < a.size() || j < b.size()) {
        while ((at(a, i) && !isDigit(at(a, i))) || (at(b, j) && !isDigit(at(b, j)))) {
            const int oa = order(at(a, i)), ob = order(at(b, j));
            if (oa != ob)
                return oa - ob;
            ++i;
            ++j;
        }
        while (at(a, i) == '0')
            ++i;
        while (at(b, j) == '0')
            ++j;
        int firstDifference = 0;
        while (isDigit(at(a, i)) && isDigit(at(b, j))) {
            if (!firstDifference)
                firstDifference = at(a, i) - at(b, j);
            ++i;
            ++j;
        }
        if (isDigit(at(a, i)))
            return 1;
        if (isDigit(at(b, j)))
            return -1;
        if (firstDifference)
            return firstDifference;
    }
    return 0;
}

} // namespace

bool isDebianVersion(const QString& version) {
    if (version.isEmpty() || version.size() > 256)
        return false;
    for (QChar c : version)
        if (c.unicode() > 0x7F)
            return false;
    std::string rest = version.toStdString();
    if (const auto colon = rest.find(':'); colon != std::string::npos) {
        const std::string epoch = rest.substr(0, colon);
        if (epoch.empty() || epoch.size() > 9 ||
            epoch.find_first_not_of("0123456789") != std::string::npos)
            return false;
        rest = rest.substr(colon + 1);
    }
    if (const auto hyphen = rest.rfind('-'); hyphen != std::string::npos) {
        const std::string revision = rest.substr(hyphen + 1);
        if (revision.empty() || !allOf(revision, ".+~"))
            return false;
        rest = rest.substr(0, hyphen);
    }
    return !rest.empty() && isDigit(rest.front()) && allOf(rest, ".+~-");
}

int compareDebianVersions(const QString& a, const QString& b) {
    const Parts left = split(a.toStdString());
    const Parts right = split(b.toStdString());
    if (left.epoch != right.epoch)
        return left.epoch < right.epoch ? -1 : 1;
    if (const int upstream = comparePart(left.upstream, right.upstream))
        return upstream;
    return comparePart(left.revision, right.revision);
}

bool isNewerThanRunning(const QString& candidate, const QString& running) {
    return compareDebianVersions(
               candidate, isDebianVersion(running) ? running : QStringLiteral("0.0.0.0")) > 0;
}

} // namespace kestrune::update
