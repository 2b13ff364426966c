/* A DLL of 10,000 exports (BenchMany10000 to BenchMany19999, each stdcall (a, b) returning
   a + b + its number), for what a trace's start costs per definition of a whole library. */
#include <windows.h>

#define ONE(n) __declspec(dllexport) int __stdcall BenchMany##n(int a, int b) { return a + b + n; }
#define TEN(n) ONE(n##0) ONE(n##1) ONE(n##2) ONE(n##3) ONE(n##4) ONE(n##5) ONE(n##6) ONE(n##7) ONE(n##8) ONE(n##9)
#define HUNDRED(n) TEN(n##0) TEN(n##1) TEN(n##2) TEN(n##3) TEN(n##4) TEN(n##5) TEN(n##6) TEN(n##7) TEN(n##8) TEN(n##9)
#define THOUSAND(n) \
  HUNDRED(n##0) HUNDRED(n##1) HUNDRED(n##2) HUNDRED(n##3) HUNDRED(n##4) \
  HUNDRED(n##5) HUNDRED(n##6) HUNDRED(n##7) HUNDRED(n##8) HUNDRED(n##9)

THOUSAND(10) THOUSAND(11) THOUSAND(12) THOUSAND(13) THOUSAND(14)
THOUSAND(15) THOUSAND(16) THOUSAND(17) THOUSAND(18) THOUSAND(19)
