/* The example's Windows program: prints the greeting that the SFX file unpacked beside it and
   its arguments, and ends with 40 plus the number of arguments, so that a caller sees that the
   SFX file handed both on. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int PrintGreeting(void) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    char* slash = strrchr(path, '\\');
    if (n == 0 || n >= MAX_PATH || !slash || (size_t)(slash - path) + 14 > MAX_PATH)
        return 0;
    strcpy(slash + 1, "greeting.txt");
    FILE* file = fopen(path, "r");
    if (!file)
        return 0;
    char line[256];
    while (fgets(line, sizeof line, file))
        fputs(line, stdout);
    fclose(file);
    return 1;
}

int main(int argc, char** argv) {
    if (!PrintGreeting()) {
        fputs("hello: greeting.txt is missing\n", stderr);
        return 1;
    }
    for (int i = 1; i < argc; ++i)
        printf("argument %d: %s\n", i, argv[i]);
    return 40 + argc - 1;
}
