/* floor_loop: the least a program can do between a reply and its next
 * request, to measure the utility's pause before each block against. It sends
 * request frames from a file (each ends in a CR) one at a time: the whole
 * frame in blocking writes, blocking reads until the reply's CR, then a sleep
 * to an absolute deadline a fixed pause after the read that brought the CR
 * returned. Nothing of the utility's code is in it.
 *
 *   floor_loop --tcp HOST:PORT FRAMES [--pause-us 4000] [--timeout-s 60]
 *   floor_loop --pty PATH FRAMES [--pause-us 4000] [--timeout-s 60]
 *
 * Exits 0 when every frame got a reply, 1 when the link failed, 2 on a usage
 * error; the default action of SIGALRM ends it after the time-out.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int Usage(const char* problem) {
  fprintf(stderr,
          "floor_loop: %s\n"
          "usage: floor_loop --tcp HOST:PORT | --pty PATH FRAMES [--pause-us N] "
          "[--timeout-s N]\n",
          problem);
  return 2;
}

static int ConnectTcp(const char* where) {
  char host[64];
  const char* colon = strrchr(where, ':');
  if (colon == NULL || (size_t)(colon - where) >= sizeof host) {
    return -1;
  }
  memcpy(host, where, (size_t)(colon - where));
  host[colon - where] = '\0';
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(colon + 1));
  if (inet_pton(AF_INET, host, &address.sin_addr) != 1) {
    return -1;
  }
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (const struct sockaddr*)&address, sizeof address) != 0) {
    return -1;
  }
  return fd;
}

static int OpenPty(const char* path) {
  const int fd = open(path, O_RDWR | O_NOCTTY);
  struct termios raw;
  if (fd < 0 || tcgetattr(fd, &raw) != 0) {
    return -1;
  }
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &raw) != 0) {
    return -1;
  }
  return fd;
}

static char* ReadFile(const char* path, size_t* size) {
  FILE* file = fopen(path, "rb");
  if (file == NULL || fseek(file, 0, SEEK_END) != 0) {
    return NULL;
  }
  const long length = ftell(file);
  rewind(file);
  char* bytes = length > 0 ? malloc((size_t)length) : NULL;
  if (bytes == NULL || fread(bytes, 1, (size_t)length, file) != (size_t)length) {
    free(bytes);
    fclose(file);
    return NULL;
  }
  fclose(file);
  *size = (size_t)length;
  return bytes;
}

static int WriteAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return -1;
    }
    bytes += n;
    size -= (size_t)n;
  }
  return 0;
}

/* Reads until a read brings a CR; the reply frame has no CR before its end. */
static int ReadReply(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return -1;
    }
    if (memchr(buffer, '\r', (size_t)n) != NULL) {
      return 0;
    }
  }
}

int main(int argc, char** argv) {
  const char* tcp = NULL;
  const char* pty = NULL;
  const char* framesPath = NULL;
  long pauseUs = 4000;
  unsigned timeoutS = 60;
  for (int i = 1; i < argc; ++i) {
    const int hasValue = i + 1 < argc;
    if (strcmp(argv[i], "--tcp") == 0 && hasValue) {
      tcp = argv[++i];
    } else if (strcmp(argv[i], "--pty") == 0 && hasValue) {
      pty = argv[++i];
    } else if (strcmp(argv[i], "--pause-us") == 0 && hasValue) {
      pauseUs = atol(argv[++i]);
    } else if (strcmp(argv[i], "--timeout-s") == 0 && hasValue) {
      timeoutS = (unsigned)atoi(argv[++i]);
    } else if (argv[i][0] != '-' && framesPath == NULL) {
      framesPath = argv[i];
    } else {
      return Usage(argv[i]);
    }
  }
  if ((tcp == NULL) == (pty == NULL) || framesPath == NULL || pauseUs < 0 || pauseUs >= 1000000) {
    return Usage("give one link, a frames file and a pause below a second");
  }
  alarm(timeoutS);
  /* Wake at the deadline itself, not up to 50 us after it. */
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  size_t size = 0;
  char* frames = ReadFile(framesPath, &size);
  if (frames == NULL) {
    return Usage("cannot read the frames file");
  }
  const int fd = tcp != NULL ? ConnectTcp(tcp) : OpenPty(pty);
  if (fd < 0) {
    fprintf(stderr, "floor_loop: cannot open %s: %s\n", tcp != NULL ? tcp : pty, strerror(errno));
    return 1;
  }

  int count = 0;
  for (size_t start = 0; start < size;) {
    const char* cr = memchr(frames + start, '\r', size - start);
    const size_t length = cr != NULL ? (size_t)(cr - (frames + start)) + 1 : size - start;
    if (WriteAll(fd, frames + start, length) != 0 || ReadReply(fd) != 0) {
      fprintf(stderr, "floor_loop: no reply to frame %d: %s\n", count + 1,
              errno != 0 ? strerror(errno) : "link closed");
      return 1;
    }
    ++count;
    start += length;
    if (start < size) {
      struct timespec deadline;
      clock_gettime(CLOCK_MONOTONIC, &deadline);
      deadline.tv_nsec += pauseUs * 1000;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) == EINTR) {
      }
    }
  }
  printf("%d frames answered\n", count);
  close(fd);
  free(frames);
  return 0;
}
