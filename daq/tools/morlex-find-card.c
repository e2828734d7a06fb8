/* morlex-find-card: loads libMorlex.so from beside this program and asks
 * it for the card's resources.
 *
 * Prints "card type N, I/O base 0xHHHH, IRQ N" and exits 0 when a card of
 * type 1 or 2 answers; otherwise prints the library's result and exits with
 * a non-zero status: 2 for a card of another type (-1), 3 when the driver
 * request failed (-10, no driver), 4 when the library cannot be loaded. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "morlex.h"

typedef int32_t (*GetCardResourceFn)(MorlexAddr, MorlexAddr, int16_t*, int16_t*, int16_t*);

static void* OpenLibrary(void) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    char path[PATH_MAX + 32];
    snprintf(path, sizeof path, "%s/libMorlex.so", dirname(self));
    void* handle = dlopen(path, RTLD_NOW);
    if (handle != NULL) return handle;
  }
  return dlopen("libMorlex.so", RTLD_NOW);
}

int main(int argc, char** argv) {
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    printf("usage: %s\nAsks libMorlex.so (beside this program) for the A/D card's type, I/O base and IRQ.\n"
           "Exit status: 0 found, 2 unknown card type, 3 no driver (-10), 4 library not loadable.\n",
           argv[0]);
    return 0;
  }
  void* library = OpenLibrary();
  if (library == NULL) {
    fprintf(stderr, "morlex-find-card: cannot load libMorlex.so: %s\n", dlerror());
    return 4;
  }
  GetCardResourceFn getCardResource = NULL;
  *(void**)&getCardResource = dlsym(library, "AdGetCardResource");
  if (getCardResource == NULL) {
    fprintf(stderr, "morlex-find-card: libMorlex.so has no AdGetCardResource\n");
    dlclose(library);
    return 4;
  }
  int16_t cardType = 0;
  int16_t ioBase = 0;
  int16_t irq = 0;
  const int32_t result = getCardResource(0, 0, &cardType, &ioBase, &irq);
  int status = 0;
  if (result == 0) {
    printf("card type %d, I/O base 0x%X, IRQ %d\n", cardType, (unsigned)(uint16_t)ioBase, irq);
  } else {
    printf("no card: AdGetCardResource returned %d\n", (int)result);
    status = result == -1 ? 2 : 3;
  }
  dlclose(library);
  return status;
}
