// Prints the C library's text for each error number given, a line each: quarn's error reports
// carry the text of the C library it was built with, and glibc's and musl's differ.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++)
        puts(strerror(atoi(argv[i])));
    return 0;
}
