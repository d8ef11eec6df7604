// The access list the Windows Installer package gives every folder it makes (its
// MsiLockPermissionsEx rows; files inherit it): owner SYSTEM, nothing inherited from above,
// SYSTEM and Administrators full control, Users, the folder's owner (OWNER RIGHTS) and ALL
// APPLICATION PACKAGES read and execute. Written once here: tools/package.py takes the text
// between the quotes, and the custom action's tests judge it.
// clang-format off
#define PACKAGE_LOCK L"O:SYG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;OW)(A;OICI;0x1200a9;;;AC)"
// clang-format on
