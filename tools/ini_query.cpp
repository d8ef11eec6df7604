// Reads a configuration file with the program's own reader, for the tools and tests that must
// take such a file exactly as the program does (tools/package reads the stage's Install.ini
// with it; the package's tests compare zvn.ini files through it):
//   ini_query FILE SECTION KEY   prints the value of the first such entry and a line feed;
//   ini_query FILE               prints every section as "[name]" and each of its entries as
//                                "key=value", unescaped, each on a line of its own.
// Status 1, with a line on standard error, when the file cannot be read as configuration or
// holds no such entry.
#include <stdio.h>
#include <string.h>

#include "ini.h"
#include "platform.h"

// Writes text and a line feed to standard output, byte for byte.
static void print_line(const char* text) {
    fwrite(text, 1, strlen(text), stdout);
    fputc('\n', stdout);
}

int main(int argc, char** argv) {
    plat_setup_process();
    if (argc != 2 && argc != 4) {
        fputs("usage: ini_query FILE [SECTION KEY]\n", stderr);
        return 1;
    }
    IniFile* document = ini_read_file(argv[1]);
    if (document == nullptr) {
        fprintf(stderr, "ini_query: %s cannot be read as a configuration file\n", argv[1]);
        return 1;
    }
    int status = 0;
    if (argc == 4) {
        const IniSection* section = ini_get_section(document, argv[2]);
        const char* value = section != nullptr ? ini_get_value(section, argv[3]) : nullptr;
        if (value != nullptr) {
            print_line(value);
        } else {
            fprintf(stderr, "ini_query: no key %s in section [%s] of %s\n", argv[3], argv[2],
                    argv[1]);
            status = 1;
        }
    }
    for (int32_t i = 0; argc == 2 && i < document->section_count; i++) {
        const IniSection* section = document->sections[i];
        printf("[%s]\n", section->name);
        for (int32_t j = 0; j < section->entry_count; j++) {
            printf("%s=", section->entries[j]->key);
            print_line(section->entries[j]->value);
        }
    }
    ini_destroy(document);
    return status;
}
