#include <cstdio>

int main(int argc, char **argv) {
  (void)argc;
  std::printf("usage: %s [-c FILE] [-l LEVEL] [--serial-prefix PREFIX] [--tag-socket PATH] [-h] [-V]\n", argv[0]);
  return 0;
}
