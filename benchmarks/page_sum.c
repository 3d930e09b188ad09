/* The machine's own limits for the benchmark figures.

     page_sum FILE              map FILE and sum every byte once (the cost of
                                reading every page of a database)
     page_sum --write OUT N     write N bytes to OUT in 1 MiB blocks, as the
                                export writes its output (the cost of output)
     page_sum --copy FILE T     map FILE and copy every byte once into fresh
                                memory on T threads, keeping it to the end, as
                                Arrow batches are built and kept by their
                                consumer (the least any producer of columnar
                                data in memory does)

   Prints the seconds taken, then the sum or the bytes written. */
#include <fcntl.h>
#include <pthread.h>
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

static const uint8_t* map_file(const char* path, size_t* size) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return NULL;
  struct stat st;
  if (fstat(fd, &st) != 0) return NULL;
  const uint8_t* p = mmap(NULL, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
  *size = (size_t)st.st_size;
  return p == MAP_FAILED ? NULL : p;
}

/* One thread's share of the copy: its stretch of the file, in blocks of
   64 MiB of fresh memory (never freed), 1 MiB at a time. */
struct copy_share {
  const uint8_t* from;
  size_t size;
  uint64_t sum; /* a byte of every page read back, so no copy is left out */
};

static void* copy_share(void* arg) {
  struct copy_share* c = arg;
  const size_t block = (size_t)64 << 20, piece = (size_t)1 << 20;
  for (size_t at = 0; at < c->size; at += block) {
    const size_t n = c->size - at < block ? c->size - at : block;
    uint8_t* to = malloc(n);
    if (to == NULL) return (void*)1;
    for (size_t i = 0; i < n; i += piece) {
      memcpy(to + i, c->from + at + i, n - i < piece ? n - i : piece);
    }
    for (size_t i = 0; i < n; i += 4096) c->sum += to[i];
  }
  return NULL;
}

static int copy_limit(const char* path, int threads) {
  size_t n;
  const uint8_t* p = map_file(path, &n);
  if (p == NULL || threads < 1 || threads > 64) return 1;
  struct copy_share shares[64];
  pthread_t ids[64];
  struct timespec a;
  clock_gettime(CLOCK_MONOTONIC, &a);
  const size_t each = n / (size_t)threads;
  for (int t = 0; t < threads; t++) {
    shares[t].from = p + (size_t)t * each;
    shares[t].size = t + 1 < threads ? each : n - (size_t)t * each;
    shares[t].sum = 0;
    if (pthread_create(&ids[t], NULL, copy_share, &shares[t]) != 0) return 1;
  }
  uint64_t sum = 0;
  int failed = 0;
  for (int t = 0; t < threads; t++) {
    void* r;
    pthread_join(ids[t], &r);
    failed |= r != NULL;
    sum += shares[t].sum;
  }
  if (failed) return 1;
  printf("%.6f %llu\n", seconds_since(&a), (unsigned long long)sum);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--write") == 0) {
    return write_limit(argv[2], strtoull(argv[3], NULL, 10));
  }
  if (argc == 4 && strcmp(argv[1], "--copy") == 0) {
    return copy_limit(argv[2], atoi(argv[3]));
  }
  if (argc != 2) return 2;
  size_t file_size;
  const uint8_t* p = map_file(argv[1], &file_size);
  if (p == NULL) return 1;
  struct timespec a;
  clock_gettime(CLOCK_MONOTONIC, &a);
  uint64_t sum = 0;
  size_t n = file_size, i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
    sum += (w & 0x00FF00FF00FF00FFull) + ((w >> 8) & 0x00FF00FF00FF00FFull);
  }
  for (; i < n; i++) sum += p[i];
  printf("%.6f %llu\n", seconds_since(&a), (unsigned long long)sum);
  return 0;
}
