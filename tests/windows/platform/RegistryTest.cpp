#include "platform/windows/WindowsRegistry.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace kestrune::platform {
namespace {

RegistryValue valueOf(std::uint32_t type, const QByteArray& data) {
    return RegistryValue{type, data};
}

QByteArray text(const char16_t* units) {
    const QString value = QString::fromUtf16(units);
    return QByteArray(reinterpret_cast<const char*>(value.utf16()), (value.size() + 1) * 2);
}

// A key of the user's own in Wine's registry, removed after each test.
class RegistryOnWine : public ::testing::Test {
protected:
    const QString key = QStringLiteral("Software\\Kestrune Tests\\%1\\Settings")
                            .arg(QCoreApplication::applicationPid());
    ~RegistryOnWine() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kestrune Tests"); }
    WindowsRegistry registry;
};

TEST_F(RegistryOnWine, EveryTypeReadsBackWithItsBytesAndNamesIgnoreCase) {
    const struct {
        const char* name;
        RegistryValue value;
    } cases[] = {
        {"Flag", valueOf(REG_DWORD_TYPE, QByteArray("\x01\x00\x00\x00", 4))},
        {"One", valueOf(REG_SZ_TYPE, text(u"1"))},
        {"LogPath", valueOf(REG_SZ_TYPE, text(u"C:\\Berichte \u00fc"))},
        {"Empty", valueOf(REG_BINARY_TYPE, QByteArray())},
        {"Wide", valueOf(REG_QWORD_TYPE, QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08", 8))},
        {"", valueOf(REG_SZ_TYPE, text(u"default"))},
    };
    for (const auto& c : cases)
        ASSERT_EQ(registry.write(RegistryRoot::CurrentUser, key, c.name, c.value), 0) << c.name;
    for (const auto& c : cases) {
        const auto read =
            registry.read(RegistryRoot::CurrentUser, key.toUpper(), QString(c.name).toLower());
        ASSERT_TRUE(read.has_value()) << c.name;
        EXPECT_EQ(read->type, c.value.type) << c.name;
        EXPECT_EQ(read->data, c.value.data) << c.name;
    }
    EXPECT_TRUE(registry.keyExists(RegistryRoot::CurrentUser, key));
    EXPECT_FALSE(registry.read(RegistryRoot::CurrentUser, key, QStringLiteral("Missing")));
    EXPECT_FALSE(registry.read(RegistryRoot::CurrentUser, key + QStringLiteral("\\No"), "Flag"));
    EXPECT_FALSE(registry.keyExists(RegistryRoot::CurrentUser, key + QStringLiteral("\\No")));
    EXPECT_EQ(registry.location(RegistryRoot::CurrentUser), QStringLiteral("HKEY_CURRENT_USER"));
}

// A registry as a normal user meets it: the machine's keys may be read, never written; a
// value may grow between asking its size and reading it.
struct Played {
    int opened = 0;
    int closed = 0;
    int sizeQueries = 0;
    int growths = 0; // times the value grows before it is read
    REGSAM machineAccess = 0;
    bool written = false;
};
Played played;
HKEY const kKey = reinterpret_cast<HKEY>(0x1234);

LSTATUS WINAPI openKey(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY key) {
    ++played.opened;
    *key = kKey;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI createKey(HKEY root, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM access,
                         LPSECURITY_ATTRIBUTES, PHKEY key, LPDWORD) {
    if (root == HKEY_LOCAL_MACHINE) {
        played.machineAccess = access;
        return ERROR_ACCESS_DENIED;
    }
    ++played.opened;
    *key = kKey;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI setValue(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
    played.written = true;
    return ERROR_SUCCESS;
}

// An 8-byte value that, while growths last, was smaller when its size was asked for.
LSTATUS WINAPI queryValue(HKEY, LPCWSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    constexpr DWORD kSize = 8;
    *type = REG_BINARY;
    if (!data) {
        ++played.sizeQueries;
        *size = played.growths-- > 0 ? kSize - 2 : kSize;
        return ERROR_SUCCESS;
    }
    if (*size < kSize) {
        *size = kSize;
        return ERROR_MORE_DATA;
    }
    std::memset(data, 'a', kSize);
    *size = kSize;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI closeKey(HKEY) {
    ++played.closed;
    return ERROR_SUCCESS;
}

const RegistryCalls kPlayed{&openKey, &queryValue, &createKey, &setValue, &closeKey};

TEST(RegistryCalls, TheMachineKeyRefusesAUsersWriteAndNothingIsWritten) {
    played = {};
    WindowsRegistry registry(kPlayed);
    EXPECT_EQ(registry.write(RegistryRoot::LocalMachine, "Software\\V\\K\\Settings", "HideSettings",
                             valueOf(REG_DWORD_TYPE, QByteArray(4, '\1'))),
              ERROR_ACCESS_DENIED);
    EXPECT_FALSE(played.written);
    EXPECT_EQ(played.machineAccess, REGSAM(KEY_SET_VALUE));
    EXPECT_EQ(registry.write(RegistryRoot::CurrentUser, "Software\\V\\K\\Settings", "StartAuto",
                             valueOf(REG_DWORD_TYPE, QByteArray(4, '\1'))),
              0);
    EXPECT_TRUE(played.written);
    EXPECT_EQ(played.opened, played.closed);
}

TEST(RegistryCalls, AValueThatGrowsWhileReadIsReadWholeOrNotAtAll) {
    const struct {
        int growths;
        bool read;
    } cases[] = {{0, true}, {2, true}, {10, false}};
    for (const auto& c : cases) {
        played = {};
        played.growths = c.growths;
        WindowsRegistry registry(kPlayed);
        const auto value = registry.read(RegistryRoot::CurrentUser, "Software", "Grows");
        ASSERT_EQ(value.has_value(), c.read) << c.growths;
        if (value) {
            EXPECT_EQ(value->data, QByteArray(8, 'a'));
        }
        EXPECT_EQ(played.sizeQueries, std::min(c.growths + 1, 4));
        EXPECT_EQ(played.opened, played.closed);
    }
}

} // namespace
} // namespace kestrune::platform
