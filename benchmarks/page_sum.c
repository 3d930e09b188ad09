/* The machine's own limits for the benchmark figures.

     page_sum FILE              map FILE and sum every byte once (the cost of
                                reading every page of a database)
     page_sum --write OUT N     write N bytes to OUT in 1 MiB blocks, as the
                                export writes its output (the cost of output)

   Prints the seconds taken, then the sum or the bytes written. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double seconds_since(const struct timespec* a) {
  struct timespec b;
  clock_gettime(CLOCK_MONOTONIC, &b);
  return (b.tv_sec - a->tv_sec) + (b.tv_nsec - a->tv_nsec) / 1e9;
}

static int write_limit(const char* out, unsigned long long total) {
  static char block[1 << 20];
  memset(block, '7', sizeof block);
  struct timespec a;
  clock_gettime(CLOCK_MONOTONIC, &a);
  int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 1;
  unsigned long long done = 0;
  while (done < total) {
    size_t n = total - done < sizeof block ? (size_t)(total - done) : sizeof block;
    ssize_t w = write(fd, block, n);
    if (w <= 0) return 1;
    done += (unsigned long long)w;
  }
  if (close(fd) != 0) return 1;
  printf("%.6f %llu\n", seconds_since(&a), done);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--write") == 0) {
    return write_limit(argv[2], strtoull(argv[3], NULL, 10));
  }
  if (argc != 2) return 2;
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  struct stat st;
  if (fstat(fd, &st) != 0) return 1;
  const uint8_t* p = mmap(NULL, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return 1;
  struct timespec a;
  clock_gettime(CLOCK_MONOTONIC, &a);
  uint64_t sum = 0;
  size_t n = (size_t)st.st_size, i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
    sum += (w & 0x00FF00FF00FF00FFull) + ((w >> 8) & 0x00FF00FF00FF00FFull);
  }
  for (; i < n; i++) sum += p[i];
  printf("%.6f %llu\n", seconds_since(&a), (unsigned long long)sum);
  return 0;
}
