/* Counts calls of the C heap allocator, for the benchmark's memory checks: preloaded into a child
 * process (LD_PRELOAD), it forwards malloc, calloc, realloc and aligned allocations to glibc and
 * counts them; quorbel_heap_allocations() reads the count through ctypes. Python's small-object
 * allocator gets its arenas with mmap, so the count is the native heap traffic of a call plus
 * the interpreter's large buffers (a list's item array, a big bytes object). */
#include <stddef.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *pointer, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);

static unsigned long long allocations;

static void count(void) { __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED); }

void *malloc(size_t size) {
  count();
  return __libc_malloc(size);
}

void *calloc(size_t n, size_t size) {
  count();
  return __libc_calloc(n, size);
}

void *realloc(void *pointer, size_t size) {
  count();
  return __libc_realloc(pointer, size);
}

void *memalign(size_t alignment, size_t size) {
  count();
  return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
  count();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
  count();
  void *p = __libc_memalign(alignment, size);
  if (p == NULL) return 12; /* ENOMEM */
  *out = p;
  return 0;
}

unsigned long long quorbel_heap_allocations(void) {
  return __atomic_load_n(&allocations, __ATOMIC_RELAXED);
}
