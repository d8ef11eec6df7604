// The program's entry: command line, installation root, boot prompt and install manifest.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "install.h"
#include "platform.h"

// The answer to the boot prompt is read into a buffer of this many bytes.
#define ANSWER_SIZE 100

// Fills the options from arguments 1 to the last, stopping at the first offending one.
static void parse_command_line(int argc, char** argv, InstallOptions* options) {
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (argument[0] == '-') {
            if (argument[1] != 's') {
                install_fail(nullptr, "Unknown command switch %s\n", argument);
            }
            options->silent = true;
        } else if (options->root != nullptr) {
            install_fail(nullptr,
                         "Only one root directory can be specified, parameter %s is illegal\n",
                         argument);
        } else {
            options->root = argument;
        }
    }
}

// The directory that holds the running executable, without its trailing separator.
static void root_from_executable(char* root) {
    uint32_t length = plat_executable_path(root, PATH_SIZE);
    if (length == 0) {
        install_fail(nullptr, "Could not GetModuleFileName()\n");
    }
    if (length >= PATH_SIZE) {
        install_fail(nullptr, "The program's own path is longer than %d bytes\n", PATH_SIZE - 1);
    }
    char* separator = strrchr(root, '\\');
    if (separator == nullptr) {
        install_fail(nullptr, "GetModuleFileName returned broken path\n");
    }
    *separator = '\0';
}

// True when the answer's first length bytes are "yes" or "y", ignoring ASCII letter case.
static bool answer_is_yes(const char* answer, size_t length) {
    static const char yes[] = "yes";
    if (length == 0 || length > 3) {
        return false;
    }
    for (size_t i = 0; i < length; i++) {
        char c = answer[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != yes[i]) {
            return false;
        }
    }
    return length == 1 || length == 3;
}

// Asks which boot variant to install; an empty answer keeps the full one.
static void ask_boot_variant(InstallOptions* options) {
    options->full_boot = true;
    fputs("Do you want a minimal startup instead of vantor [No]: ", stdout);
    fflush(stdout);

    char answer[ANSWER_SIZE] = {};
    size_t length = 0;
    int byte = EOF;
    while (length < ANSWER_SIZE - 1 && (byte = getchar()) != EOF && byte != '\n') {
        answer[length++] = static_cast<char>(byte);
    }
    if (ferror(stdin) || (byte == EOF && length == 0)) {
        install_fail(nullptr, "Could not read answer from user.\n");
    }
    // An over-long line is judged by its first bytes; the rest of it is dropped.
    if (byte != '\n' && byte != EOF) {
        while ((byte = getchar()) != EOF && byte != '\n') {
        }
    }
    const char* carriage_return = static_cast<const char*>(memchr(answer, '\r', length));
    if (carriage_return != nullptr) {
        length = static_cast<size_t>(carriage_return - answer);
    }
    if (answer_is_yes(answer, length)) {
        options->full_boot = false;
    }
}

// Refuses a manifest value (named key) whose folder, relative to the root as composed with
// format, would lead out of the root or name a folder that Windows paths spell differently;
// resolved receives the folder's resolved form.
static void check_below_root(InstallHeld* held, const InstallPaths* paths, const char* key,
                             const char* format, const char* value, char* resolved) {
    char relative[PATH_SIZE];
    install_compose_path_or_exit(held, relative, format, value);
    int32_t judged = install_relative_path(relative, resolved);
    if (judged == INSTALL_OUTSIDE) {
        install_fail(held, "Key %s leads out of the root directory in init file %s\n", key,
                     paths->manifest_path);
    }
    if (judged == INSTALL_TRAILING) {
        install_fail(held, "Key %s names a folder ending in a dot or a space in init file %s\n",
                     key, paths->manifest_path);
    }
}

// Reads the install manifest, which must lie beneath the held root, and composes the
// installation's paths from it.
static void read_manifest(const char* root, InstallPaths* paths, InstallHeld* held) {
    install_compose_path_or_exit(held, paths->manifest_path, "%s\\Install.ini", root);
    int32_t error = INI_READ_OK;
    PlatFile file = PLAT_NO_FILE;
    plat_open_below(held->root, "", "Install.ini", &file);
    IniFile* manifest = ini_read_from(file, &error);
    if (file != PLAT_NO_FILE) {
        plat_close(file);
    }
    if (error == INI_READ_NO_MEMORY) {
        install_fail_no_memory(held);
    }
    if (manifest == nullptr) {
        install_fail(held, "Cannot open init file %s\n", paths->manifest_path);
    }
    held->document = manifest;
    const IniSection* install = ini_get_section(manifest, "Install");
    if (install == nullptr) {
        install_fail(held, "No [Install] section in init file %s\n", paths->manifest_path);
    }
    const char* version = ini_get_value(install, "VSN");
    if (version == nullptr) {
        install_fail(held, "No key VSN in init file %s\n", paths->manifest_path);
    }
    size_t version_length = strlen(version);
    if (version_length >= PATH_SIZE) {
        install_fail(held, "Key VSN is longer than %d bytes in init file %s\n", PATH_SIZE - 1,
                     paths->manifest_path);
    }
    memcpy(paths->version, version, version_length + 1);
    install_compose_path_or_exit(held, paths->runtime_bin, "%s\\zrun-%s\\bin", root, version);
    check_below_root(held, paths, "VSN", "zrun-%s\\bin", version, paths->runtime_relative);
    const char* system_version = ini_get_value(install, "SYSTEM_VSN");
    if (system_version == nullptr) {
        install_fail(held, "No key SYSTEM_VSN in init file %s\n", paths->manifest_path);
    }
    install_compose_path_or_exit(held, paths->release_dir, "%s\\releases\\%s", root,
                                 system_version);
    check_below_root(held, paths, "SYSTEM_VSN", "releases\\%s", system_version,
                     paths->release_relative);
    install_compose_path_or_exit(held, paths->bin_dir, "%s\\bin", root);
    ini_destroy(manifest);
    held->document = nullptr;
}

int main(int argc, char** argv) {
    plat_setup_process();
    InstallOptions options = {}; // no root given yet, not silent; full_boot is the prompt's
    parse_command_line(argc, argv, &options);
    char executable_dir[PATH_SIZE];
    bool given = options.root != nullptr;
    if (!given) {
        root_from_executable(executable_dir);
        options.root = executable_dir;
    }
    // zvn.ini records the root on one line; a line break in it would corrupt the file.
    if (strpbrk(options.root, "\r\n") != nullptr) {
        install_fail(nullptr, "Root directory holds a line break: %s\n", options.root);
    }
    // Its 8-bit form, which the launchers read too, would name some other folder.
    if (!plat_root_fits_code_page(given)) {
        install_fail(nullptr, INSTALL_ROOT_OFF_CODE_PAGE "%s\n", options.root);
    }
    if (!options.silent) {
        ask_boot_variant(&options);
    }
    // Everything below the root is reached from this handle from now on.
    InstallHeld held = {plat_hold_root(options.root), nullptr};
    InstallPaths paths;
    read_manifest(options.root, &paths, &held);
    // bin_dir. When none is made (it may exist already), the copies that follow judge what is
    // there; one made whose name could not be written to the disk ends the run.
    if (plat_make_dir(held.root, install_bin_folder) == PLAT_FAILED) {
        install_fail(&held, "Could not write directory %s to the disk\n", paths.bin_dir);
    }
    int status = install_files(&options, &paths, &held);
    plat_release_folder(held.root);
    return status;
}
