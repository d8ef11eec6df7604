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

// The folder below the root that every copy goes into.
static const char bin_folder[] = "bin";

// Copies source over name in bin (bin_dir); on failure prints the copy line and gives false.
// A target path too long ends the run after releasing document.
static bool copy_reported(IniFile* document, const InstallOptions* options, const char* bin_dir,
                          const char* source, const char* name) {
    char target[PATH_SIZE];
    install_compose_path(document, target, "%s\\%s", bin_dir, name);
    if (plat_copy_file(options->root, source, bin_folder, name)) {
        return true;
    }
    fprintf(stderr, "Could not copy file %s to %s\n", source, target);
    return false;
}

// Copies directory\name into bin_dir. A missing source ends the run; so does a failed copy,
// unless tolerated (launchers), when the run goes on after a warning.
static void install_file(const InstallOptions* options, const char* directory, const char* name,
                         const char* bin_dir, bool tolerated) {
    char source[PATH_SIZE];
    install_compose_path(nullptr, source, "%s\\%s", directory, name);
    if (!plat_exists(source)) {
        install_fail(nullptr, "Could not find file %s\n", source);
    }
    if (!copy_reported(nullptr, options, bin_dir, source, name)) {
        if (!tolerated) {
            install_fail(nullptr, bail_out);
        }
        fputs("Continuing installation anyway...\n", stderr);
    }
}

// Copies source over name in bin (bin_dir); a failure ends the run after releasing document.
static void copy_or_bail_out(IniFile* document, const InstallOptions* options, const char* bin_dir,
                             const char* source, const char* name) {
    if (!copy_reported(document, options, bin_dir, source, name)) {
        install_fail(document, bail_out);
    }
}

// The launcher configuration: where the runtime system's executables are, and the root.
static IniFile* launcher_configuration(const InstallOptions* options, const InstallPaths* paths) {
    IniFile* document = ini_create();
    if (document == nullptr) {
        install_fail_no_memory(nullptr);
    }
    IniSection* section = ini_section_create("zorvan");
    if (section == nullptr) {
        install_fail_no_memory(document);
    }
    if (ini_put_section(document, section) == INI_NO_MEMORY) {
        ini_section_destroy(section);
        install_fail_no_memory(document);
    }
    if (ini_set_value(section, "Bindir", paths->runtime_bin) == INI_NO_MEMORY ||
        ini_set_value(section, "Progname", "zvn") == INI_NO_MEMORY ||
        ini_set_value(section, "Rootdir", options->root) == INI_NO_MEMORY) {
        install_fail_no_memory(document);
    }
    return document;
}

// Writes the launcher configuration as zvn.ini in the runtime system's folder, in place of
// what stood there only once it is complete: an INI_WRITE_ result.
static int32_t write_configuration(const IniFile* document, const InstallOptions* options,
                                   const InstallPaths* paths) {
    PlatReplacement replacement;
    if (!plat_replace_begin(&replacement, options->root, paths->runtime_relative, "zvn.ini",
                            PLAT_NO_FILE)) {
        return INI_WRITE_CANNOT_CREATE;
    }
    int32_t written = ini_write_to(document, replacement.file);
    if (!plat_replace_end(&replacement, written == INI_WRITE_OK) && written == INI_WRITE_OK) {
        written = INI_WRITE_FAILED;
    }
    return written;
}

int install_files(const InstallOptions* options, const InstallPaths* paths) {
    for (const char* name : launchers) {
        install_file(options, paths->runtime_bin, name, paths->bin_dir, true);
    }
    for (const char* name : boot_files) {
        install_file(options, paths->release_dir, name, paths->bin_dir, false);
    }

    char source[PATH_SIZE];
    install_compose_path(nullptr, source,
                         options->full_boot ? "%s\\launch_vantor.seq" : "%s\\launch_bare.seq",
                         paths->bin_dir);
    copy_or_bail_out(nullptr, options, paths->bin_dir, source, "launch.seq");

    IniFile* document = launcher_configuration(options, paths);
    install_compose_path(document, source, "%s\\zvn.ini", paths->runtime_bin);
    int32_t written = write_configuration(document, options, paths);
    if (written == INI_WRITE_NO_MEMORY) {
        install_fail_no_memory(document);
    }
    if (written != INI_WRITE_OK) {
        fprintf(stderr, "Could not create file %s\n", source);
        install_fail(document, bail_out);
    }
    copy_or_bail_out(document, options, paths->bin_dir, source, "zvn.ini");
    ini_destroy(document);

    if (!options->silent) {
        printf("Zorvan %s installed successfully\n", paths->version);
    }
    return 0;
}
