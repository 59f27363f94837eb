// The security records handed to the platform, and which folders are trusted.

#include "CvComn_AccessControl.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using CvCommon::AccessControl::SecurityAttributes;

TEST(SecurityAttributes, DefaultMeansNoRecord) {
    EXPECT_EQ(nullptr, SecurityAttributes().Get());
}

// The record handed to CreateDirectoryW. Wine 8 does not keep a descriptor
// given to CreateDirectoryW (GetNamedSecurityInfo reads back its default), so
// the record itself is what is checked here.
TEST(AccessControl, ProtectedFolderRecordHasOnlyItsOwnRules) {
    const SecurityAttributes sa = SecurityAttributes::ProtectedFolder();
    ASSERT_NE(nullptr, sa.Get());
    PSECURITY_DESCRIPTOR pDescriptor = sa.Get()->lpSecurityDescriptor;
    ASSERT_TRUE(::IsValidSecurityDescriptor(pDescriptor));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD dwRevision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(pDescriptor, &control, &dwRevision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    BOOL bPresent = FALSE, bDefaulted = FALSE;
    PACL pDacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(pDescriptor, &bPresent, &pDacl, &bDefaulted));
    ASSERT_TRUE(bPresent && pDacl);
    ASSERT_EQ(3u, pDacl->AceCount);
    const struct {
        WELL_KNOWN_SID_TYPE type;
        DWORD dwMask;
    } kExpected[] = {{WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                     {WinLocalSystemSid, FILE_ALL_ACCESS},
                     {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
    for (DWORD i = 0; i < 3; ++i) {
        void* pAce = nullptr;
        ASSERT_TRUE(::GetAce(pDacl, i, &pAce));
        const ACCESS_ALLOWED_ACE* pAllowed = static_cast<ACCESS_ALLOWED_ACE*>(pAce);
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, pAllowed->Header.AceType) << i;
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, pAllowed->Header.AceFlags) << i;
        EXPECT_EQ(kExpected[i].dwMask, pAllowed->Mask) << i;
        EXPECT_TRUE(::IsWellKnownSid(const_cast<DWORD*>(&pAllowed->SidStart), kExpected[i].type))
            << i;
    }
}

TEST(AccessControl, MissingFolderIsNotTrusted) {
    const testsupport::ScratchFolder folder;
    EXPECT_FALSE(CvCommon::AccessControl::IsTrustedFolder(folder / L"none"));
}
