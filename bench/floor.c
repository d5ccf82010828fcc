/* The least any open of a database can cost: the three files read whole into memory that was
 * not touched before (on these machines the first touch of fresh pages, not the disk, is what a
 * load of hundreds of MB spends its time on). Usage: kavrin_floor FOLDER. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

static long long loadWhole(const char* folder, const char* name) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", folder, name);
    int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        perror(path);
        exit(1);
    }
    size_t size = (size_t)st.st_size;
    unsigned char* data = malloc(size ? size : 1);
    if (data == NULL) {
        fprintf(stderr, "%s: out of memory\n", path);
        exit(1);
    }
    size_t done = 0;
    while (done < size) {
        ssize_t got = read(fd, data + done, size - done);
        if (got <= 0) {
            perror(path);
            exit(1);
        }
        done += (size_t)got;
    }
    close(fd);
    /* The memory stays allocated to the end, as an open database keeps its bodies. */
    return (long long)done;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    long long total = loadWhole(argv[1], "Kavrin.cmp") + loadWhole(argv[1], "Kavrin.ist") +
                      loadWhole(argv[1], "Kavrin.ttl");
    printf("%lld\n", total);
    return 0;
}
