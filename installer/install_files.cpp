// The file installation: launchers and boot files into bin, the active boot file, and the
// launcher configuration.
#include <stdio.h>

#include "install.h"
#include "platform.h"

// Copied from the runtime system's executables into bin, in this order.
static const char* const launchers[] = {
    "zvn.exe", "wzvn.exe", "zvnc.exe", "brenvik.exe", "tamsel.exe", "quorrin.exe",
};

// Copied from the release into bin, in this order: the minimal variant, then the full one.
static const char* const boot_files[] = {"launch_bare.seq", "launch_vantor.seq"};

static const char bail_out[] = "Cannot continue installation, bailing out.\n";

// Copies source over name in bin (bin_dir); on failure prints the copy line and gives false.
// A target path too long ends the run.
static bool copy_reported(InstallHeld* held, const char* bin_dir, const char* source,
                          const char* name) {
    char target[PATH_SIZE];
    install_compose_path(held, target, "%s\\%s", bin_dir, name);
    if (plat_copy_file(held->root, source, install_bin_folder, name)) {
        return true;
    }
    fprintf(stderr, "Could not copy file %s to %s\n", source, target);
    return false;
}

// Copies directory\name into bin_dir. A missing source ends the run; so does a failed copy,
// unless tolerated (launchers), when the run goes on after a warning.
static void install_file(InstallHeld* held, const char* directory, const char* name,
                         const char* bin_dir, bool tolerated) {
    char source[PATH_SIZE];
    install_compose_path(held, source, "%s\\%s", directory, name);
    if (!plat_exists(source)) {
        install_fail(held, "Could not find file %s\n", source);
    }
    if (!copy_reported(held, bin_dir, source, name)) {
        if (!tolerated) {
            install_fail(held, bail_out);
        }
        fputs("Continuing installation anyway...\n", stderr);
    }
}

// Copies source over name in bin (bin_dir); a failure ends the run.
static void copy_or_bail_out(InstallHeld* held, const char* bin_dir, const char* source,
                             const char* name) {
    if (!copy_reported(held, bin_dir, source, name)) {
        install_fail(held, bail_out);
    }
}

// The launcher configuration, held in held->document: where the runtime system's executables
// are, and the root.
static IniFile* launcher_configuration(InstallHeld* held, const InstallOptions* options,
                                       const InstallPaths* paths) {
    IniFile* document = ini_create();
    if (document == nullptr) {
        install_fail_no_memory(held);
    }
    held->document = document;
    IniSection* section = ini_section_create("zorvan");
    if (section == nullptr) {
        install_fail_no_memory(held);
    }
    if (ini_put_section(document, section) == INI_NO_MEMORY) {
        ini_section_destroy(section);
        install_fail_no_memory(held);
    }
    if (ini_set_value(section, "Bindir", paths->runtime_bin) == INI_NO_MEMORY ||
        ini_set_value(section, "Progname", "zvn") == INI_NO_MEMORY ||
        ini_set_value(section, "Rootdir", options->root) == INI_NO_MEMORY) {
        install_fail_no_memory(held);
    }
    return document;
}

// Writes the launcher configuration as zvn.ini in the runtime system's folder, in place of
// what stood there only once it is complete: an INI_WRITE_ result.
static int32_t write_configuration(const IniFile* document, PlatFolder root,
                                   const InstallPaths* paths) {
    PlatReplacement replacement;
    if (!plat_replace_begin(&replacement, root, paths->runtime_relative, "zvn.ini", PLAT_NO_FILE)) {
        return INI_WRITE_CANNOT_CREATE;
    }
    int32_t written = ini_write_to(document, replacement.file);
    if (!plat_replace_end(&replacement, written == INI_WRITE_OK) && written == INI_WRITE_OK) {
        written = INI_WRITE_FAILED;
    }
    return written;
}

int install_files(const InstallOptions* options, const InstallPaths* paths, InstallHeld* held) {
    for (const char* name : launchers) {
        install_file(held, paths->runtime_bin, name, paths->bin_dir, true);
    }
    for (const char* name : boot_files) {
        install_file(held, paths->release_dir, name, paths->bin_dir, false);
    }

    char source[PATH_SIZE];
    install_compose_path(held, source,
                         options->full_boot ? "%s\\launch_vantor.seq" : "%s\\launch_bare.seq",
                         paths->bin_dir);
    copy_or_bail_out(held, paths->bin_dir, source, "launch.seq");

    IniFile* document = launcher_configuration(held, options, paths);
    install_compose_path(held, source, "%s\\zvn.ini", paths->runtime_bin);
    int32_t written = write_configuration(document, held->root, paths);
    if (written == INI_WRITE_NO_MEMORY) {
        install_fail_no_memory(held);
    }
    if (written != INI_WRITE_OK) {
        fprintf(stderr, "Could not create file %s\n", source);
        install_fail(held, bail_out);
    }
    copy_or_bail_out(held, paths->bin_dir, source, "zvn.ini");
    ini_destroy(document);
    held->document = nullptr;

    if (!options->silent) {
        printf("Zorvan %s installed successfully\n", paths->version);
    }
    return 0;
}
