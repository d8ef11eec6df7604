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

// Ends the run when target was left with no file at its name (PLAT_STRANDED): its old file set
// aside as <target>.old, the new one left as <target>.tmp. Both are named, so that either can be
// given the name by hand.
static void fail_if_stranded(InstallHeld* held, int32_t copied, const char* target) {
    if (copied == PLAT_STRANDED) {
        char old[PATH_SIZE];
        char fresh[PATH_SIZE];
        install_compose_path_or_exit(held, old, "%s%s", target, plat_set_aside_suffix);
        install_compose_path_or_exit(held, fresh, "%s%s", target, plat_temporary_suffix);
        install_fail(held, "File %s is missing: the old one is left as %s, the new one as %s\n",
                     target, old, fresh);
    }
}

// What a source that is not there means: the run ends, or the copy failed.
enum IfMissing {
    missing_ends_run,
    missing_fails_copy,
};

// What a failed copy means: the run ends, or goes on after a warning.
enum IfFailed {
    failed_ends_run,
    failed_is_warned,
};

// The line of a file that is in place but whose flush after the rename failed, so that it may
// not be there after a power cut.
static const char unflushed[] = "Could not write file %s to the disk\n";

// Prints why source is not at target as copied (a replacement's PLAT_ result): not copied, or
// in place but not written to the disk.
static void report_failed_copy(int32_t copied, const char* source, const char* target) {
    if (copied == PLAT_UNFLUSHED) {
        fprintf(stderr, unflushed, target);
    } else {
        fprintf(stderr, "Could not copy file %s to %s\n", source, target);
    }
}

// Copies source_name in the folder relative below the root (source, its path) over name in bin
// (bin_dir). A source that is not there is taken as if_missing says; a failed copy prints its
// line and gives false. A target path too long, or a target left with no file at its name, ends
// the run.
static bool copy_reported(InstallHeld* held, const char* bin_dir, const char* source,
                          const char* relative, const char* source_name, const char* name,
                          IfMissing if_missing) {
    char target[PATH_SIZE];
    install_compose_path_or_exit(held, target, "%s\\%s", bin_dir, name);
    int32_t copied = plat_copy_file(held->root, relative, source_name, install_bin_folder, name);
    if (copied == PLAT_ABSENT && if_missing == missing_ends_run) {
        install_fail(held, "Could not find file %s\n", source);
    }
    if (copied != PLAT_DONE) {
        report_failed_copy(copied, source, target);
    }
    if (copied == PLAT_IN_CLOUD) {
        fprintf(stderr,
                "File %s is stored in the cloud: make it available offline and run the "
                "installation again\n",
                source);
    }
    fail_if_stranded(held, copied, target);
    return copied == PLAT_DONE;
}

// Copies name from directory (relative below the root) into bin_dir. A missing source ends the
// run; a failed copy is taken as if_failed says (a launcher's is warned of).
static void install_file(InstallHeld* held, const char* directory, const char* relative,
                         const char* name, const char* bin_dir, IfFailed if_failed) {
    char source[PATH_SIZE];
    install_compose_path_or_exit(held, source, "%s\\%s", directory, name);
    if (!copy_reported(held, bin_dir, source, relative, name, name, missing_ends_run)) {
        if (if_failed == failed_ends_run) {
            install_fail(held, bail_out);
        }
        fputs("Continuing installation anyway...\n", stderr);
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

// Writes the launcher configuration as zvn.ini in the folder relative below the root, in place
// of what stood there only once it is complete: an INI_WRITE_ result. *placed is the
// replacement's PLAT_ result.
static int32_t write_configuration(const IniFile* document, PlatFolder root, const char* relative,
                                   int32_t* placed) {
    PlatReplacement replacement;
    *placed = PLAT_FAILED;
    if (!plat_replace_begin(&replacement, root, relative, "zvn.ini", PLAT_NO_FILE)) {
        return INI_WRITE_CANNOT_CREATE;
    }
    int32_t written = ini_write_to(document, replacement.file);
    *placed = plat_replace_end(&replacement, written == INI_WRITE_OK);
    if (*placed != PLAT_DONE && written == INI_WRITE_OK) {
        written = INI_WRITE_FAILED;
    }
    return written;
}

int install_files(const InstallOptions* options, const InstallPaths* paths, InstallHeld* held) {
    for (const char* name : launchers) {
        install_file(held, paths->runtime_bin, paths->runtime_relative, name, paths->bin_dir,
                     failed_is_warned);
    }
    for (const char* name : boot_files) {
        install_file(held, paths->release_dir, paths->release_relative, name, paths->bin_dir,
                     failed_ends_run);
    }

    const char* active = options->full_boot ? "launch_vantor.seq" : "launch_bare.seq";
    char source[PATH_SIZE];
    install_compose_path_or_exit(held, source, "%s\\%s", paths->bin_dir, active);
    if (!copy_reported(held, paths->bin_dir, source, install_bin_folder, active, "launch.seq",
                       missing_fails_copy)) {
        install_fail(held, bail_out);
    }

    IniFile* document = launcher_configuration(held, options, paths);
    install_compose_path_or_exit(held, source, "%s\\zvn.ini", paths->runtime_bin);
    int32_t placed = PLAT_FAILED;
    int32_t written = write_configuration(document, held->root, paths->runtime_relative, &placed);
    if (written == INI_WRITE_NO_MEMORY) {
        install_fail_no_memory(held);
    }
    if (written != INI_WRITE_OK) {
        if (placed == PLAT_UNFLUSHED) {
            fprintf(stderr, unflushed, source);
        } else {
            fprintf(stderr, "Could not create file %s\n", source);
        }
        fail_if_stranded(held, placed, source);
        install_fail(held, bail_out);
    }
    // The copy in bin is the same document written again, never read back by a path.
    written = write_configuration(document, held->root, install_bin_folder, &placed);
    if (written == INI_WRITE_NO_MEMORY) {
        install_fail_no_memory(held);
    }
    if (written != INI_WRITE_OK) {
        char target[PATH_SIZE];
        install_compose_path_or_exit(held, target, "%s\\zvn.ini", paths->bin_dir);
        report_failed_copy(placed, source, target);
        fail_if_stranded(held, placed, target);
        install_fail(held, bail_out);
    }
    ini_destroy(document);
    held->document = nullptr;

    if (!options->silent) {
        printf("Zorvan %s installed successfully\n", paths->version);
    }
    return 0;
}
