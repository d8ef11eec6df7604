; The setup of the sample distribution, as a distribution ships the installer: it unpacks the
; tree, writes its uninstaller, then runs Install.exe -s to finish the installation, keeping
; what it printed in Install.log beside it. A failure of Install.exe fails the setup.
;
;   makensis -DSTAGE=<folder holding the unpacked tree and Install.exe> -DOUTFILE=<setup.exe>
;            [-DVERSION=<version shown>] [-DVSN=<the manifest's VSN>] [-DSIGN=<command>] setup.nsi
;
; tools/package builds it beside the Windows Installer package of the same stage.
;
; Silently: setup.exe /S /D=<folder>  (/D= last and unquoted, even when the folder has spaces)
Unicode true
Target amd64-unicode
!include LogicLib.nsh

!ifndef STAGE
    !error "STAGE must name the folder to ship"
!endif
!ifndef OUTFILE
    !define OUTFILE "Zorvan-setup.exe"
!endif
!ifndef VSN
    !define VSN "5.7"
!endif
!ifndef VERSION
    !define VERSION "${VSN}"
!endif

; With -DSIGN=<command that signs the file it is given>, the uninstaller is signed as it is
; written into the setup.
!ifdef SIGN
    !uninstfinalize '"${SIGN}" "%1"'
!endif

Name "Zorvan ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Zorvan"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section
    SetOutPath "$INSTDIR"
    ; First, so that a setup whose installation fails can still be removed.
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    File /r "${STAGE}\*.*"
    nsExec::ExecToStack '"$INSTDIR\Install.exe" -s'
    Pop $0 ; the exit status, or "error" when it could not be started
    Pop $1 ; what it printed
    FileOpen $2 "$INSTDIR\Install.log" w
    FileWrite $2 $1
    FileClose $2
    ${If} $0 != 0
        DetailPrint "Install.exe failed ($0): see $INSTDIR\Install.log"
        SetErrorLevel 3
        Abort "Install.exe failed ($0): see $INSTDIR\Install.log"
    ${EndIf}
SectionEnd

Section "Uninstall"
    ; What the setup unpacked, what Install.exe made, and the setup's own files; nothing else.
    RMDir /r "$INSTDIR\bin"
    RMDir /r "$INSTDIR\zrun-${VSN}"
    RMDir /r "$INSTDIR\releases"
    Delete "$INSTDIR\Install.ini"
    Delete "$INSTDIR\Install.exe"
    Delete "$INSTDIR\Install.log"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
