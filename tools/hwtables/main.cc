#include <cstdio>

int main() {
  std::puts("hwtables");
  return 0;
}
