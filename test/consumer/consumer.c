/* A C program that uses the installed library as any client would. */
#include <quillet/quillet.h>
#include <stdio.h>

int main(void) {
  QL_WCHAR id[26];
  char text[27];
  int document;
  unsigned length = 0;
  int i;

  QL_GenerateULID(id);
  for (i = 0; i < 26; ++i) text[i] = (char)(id[i] & 0xFF);
  text[26] = '\0';

  document = QL_ParseJSON("{\"greeting\": \"hello\"}");
  if (document == 0 || !QL_GetStringByPath((unsigned)document, "greeting", NULL, &length) || length != 5) {
    fprintf(stderr, "consumer: JSON export failed\n");
    return 1;
  }
  printf("consumer ok %s %s\n", text, QUILLET_VERSION);
  return 0;
}
