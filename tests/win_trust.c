/* Adds a CA certificate to the trusted roots of the local machine, or takes
 * it out again: for the host tests, in the Wine prefix they run in, never on
 * a machine of its own.
 *
 *   vtl_trust add|remove CA-PEM-FILE
 *
 * Exits 0 when done. */
#include <stdio.h>
#include <string.h>
#include <windows.h>
/* (after windows.h) */
#include <wincrypt.h>

int main(int argc, char** argv) {
  static char pem[1 << 16];
  static BYTE der[1 << 16];
  DWORD derSize = sizeof der;
  size_t size;
  FILE* f;
  HCERTSTORE store;
  PCCERT_CONTEXT cert;
  PCCERT_CONTEXT found;
  BOOL done;
  const int adding = argc == 3 && strcmp(argv[1], "add") == 0;

  if (argc != 3 || (!adding && strcmp(argv[1], "remove") != 0)) {
    fprintf(stderr, "usage: vtl_trust add|remove CA-PEM-FILE\n");
    return 2;
  }
  f = fopen(argv[2], "rb");
  if (f == NULL) return 3;
  size = fread(pem, 1, sizeof pem - 1, f);
  fclose(f);
  if (!CryptStringToBinaryA(pem, (DWORD)size, CRYPT_STRING_BASE64HEADER, der, &derSize, NULL, NULL))
    return 4;
  store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (store == NULL) return 5;
  if (adding) {
    done = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derSize,
                                            CERT_STORE_ADD_REPLACE_EXISTING, NULL);
  } else {
    cert = CertCreateCertificateContext(X509_ASN_ENCODING, der, derSize);
    found = cert == NULL ? NULL
                         : CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, cert, NULL);
    done = found != NULL && CertDeleteCertificateFromStore(found); /* frees `found` */
    if (cert != NULL) CertFreeCertificateContext(cert);
  }
  done = done && CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
  CertCloseStore(store, 0);
  return done ? 0 : 6;
}
