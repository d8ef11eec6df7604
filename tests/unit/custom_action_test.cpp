// The package's custom actions where Wine cannot show the situation: Wine reports its one user as
// the owner of every folder, so the owner branch of the folder check runs here on descriptors
// made from SDDL, each as a folder on Windows would have it: the installation folder itself, a
// folder above it, and the nearest folder above one the package is yet to make.
#include "../../packaging/custom_action.cpp"

#include <gtest/gtest.h>

#include "../../packaging/lock.h"

namespace {

struct Row {
    const wchar_t* sddl;
    bool sound; // only administrators may change it
    ACCESS_MASK forbidden = change_folder;
    bool made_in = false; // judged for a folder the installation makes in it
};

// The drive root's descriptor as Windows sets it: Authenticated Users may create folders in it.
const wchar_t* const drive_root =
    L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:PAI(A;OICI;FA;;;BA)"
    L"(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)";

TEST(CustomAction, FolderOwnerAndAccessListJudged) {
    const Row rows[] = {
        {PACKAGE_LOCK, true},
        {L"O:S-1-5-21-1-2-3-1001D:PAI(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", false}, // a user's
        {L"O:BAD:(A;OICI;FA;;;SY)(A;;0x1301bf;;;AU)", false},               // others may write
        {L"O:S-1-5-18D:P(A;OICIIO;FA;;;CO)(A;;FA;;;SY)(D;;FA;;;WD)", true}, // inherited, denied
        {L"O:BAD:(A;;GA;;;WD)", false}, // everyone may do anything
        {drive_root, true, change_above},
        {drive_root, false, change_above | add_below},
        {L"O:BAD:(A;OICI;FA;;;SY)(A;;SD;;;BU)", false, change_above}, // users may delete it
        {L"O:SYD:(A;OICIID;0x1301bf;;;AU)", false, change_above},     // Modify, from the root
        {L"O:SYD:(A;OICI;FA;;;SY)(A;CIIO;GA;;;BU)", false, change_above | add_below,
         true}, // users may do anything in the folders made in it
        {L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;SY)(A;OICIIO;FA;;;CO)(A;OICI;0x1200a9;;;BU)", true,
         change_above | add_below, true}, // a user's, but only the maker may change what it makes
    };
    std::vector<std::vector<BYTE>> trusted = trusted_sids();
    for (const Row& row : rows) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
        EXPECT_EQ(only_trusted_change(owner, present ? dacl : nullptr, trusted, row.forbidden,
                                      row.made_in),
                  row.sound)
            << std::string(row.sddl, row.sddl + wcslen(row.sddl));
        LocalFree(descriptor);
    }
}

TEST(CustomAction, WindowsFolderOwnerTrustedOnlyUnderWine) {
    if (!under_wine()) {
        GTEST_SKIP() << "on Windows the Windows folder's owner is TrustedInstaller, trusted anyway";
    }
    std::vector<std::vector<BYTE>> on_windows = trusted_sids(false), on_wine = trusted_sids(true);
    EXPECT_EQ(on_windows.size(), 3u); // SYSTEM, Administrators, TrustedInstaller
    EXPECT_EQ(on_wine.size(), 4u);    // and Wine's one user, who owns the Windows folder
    EXPECT_EQ(trusted_sids(), on_wine);
}

} // namespace
