/* The smallest Windows program: whether Wine runs programs of this word
   size on this machine at all. */
#include <stdio.h>

int main(void) {
  puts("corvantix wine probe");
  return 0;
}
