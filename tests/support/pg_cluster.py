# A throwaway PostgreSQL cluster for the tests: initdb and pg_ctl as an unprivileged user (the package's
# "postgres" when run as root) in a temporary folder, listening on a Unix socket in that folder and on a free
# port of 127.0.0.1, fsync on, every role trusted.
#     pg_cluster.py start STATE   starts one, writes its connection string (one line) to STATE
#     pg_cluster.py stop STATE    stops it at once and removes its folder and STATE
# From Python: with Cluster() as pg: pg.conninfo(); pg.crash(); pg.start(); standby = pg.standby(); ...
import glob, os, pathlib, pwd, re, shutil, signal, socket, subprocess, sys, tempfile, time

BIN = os.environ.get("ORVALIS_PG_BIN") or next(
    (d for d in ["/usr/lib/postgresql/15/bin"] + sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True)
     if os.path.exists(os.path.join(d, "pg_ctl"))), "")
AS_SERVER_USER = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
USER = "orvalis"
WAIT = 60  # seconds any step may take


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    def __init__(self, watch=True):
        self.folder = tempfile.mkdtemp(prefix="orvalis-pg-")
        self.data, self.port = os.path.join(self.folder, "data"), free_port()
        os.chmod(self.folder, 0o755)
        if AS_SERVER_USER:
            os.chown(self.folder, pwd.getpwnam("postgres").pw_uid, pwd.getpwnam("postgres").pw_gid)
        if watch:  # should this process be killed, a watcher stops the cluster and removes its folder
            subprocess.Popen([sys.executable, __file__, "watch", str(os.getpid()), self.folder], start_new_session=True,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def conninfo(self, dbname="postgres"):
        return f"host={self.folder} port={self.port} dbname={dbname} user={USER}"

    def _server(self, *args):  # a server program, as the server's user
        return subprocess.run(AS_SERVER_USER + [os.path.join(BIN, args[0]), *args[1:]], check=True, timeout=WAIT * 2,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def sql(self, statement, dbname="postgres"):
        return subprocess.run([os.path.join(BIN, "psql"), "-XAtq", "-v", "ON_ERROR_STOP=1", "-d",
                               self.conninfo(dbname), "-c", statement], check=True, capture_output=True, text=True,
                              timeout=WAIT).stdout.strip()

    def _configure(self, **settings):
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:  # later lines win
            conf.writelines(f"{k} = '{v}'\n" for k, v in settings.items())

    def init(self):
        self._server("initdb", "-D", self.data, "-U", USER, "--auth=trust", "-E", "UTF8", "--no-sync")
        self._configure(listen_addresses="127.0.0.1", port=self.port, unix_socket_directories=self.folder,
                        fsync="on", synchronous_commit="on", shared_buffers="32MB", max_connections=60)
        with open(os.path.join(self.data, "pg_hba.conf"), "w") as hba:
            hba.write("local all all trust\nhost all all 127.0.0.1/32 trust\n"
                      "local replication all trust\nhost replication all 127.0.0.1/32 trust\n")
        self.start()
        return self

    def start(self):
        self._server("pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "log"), "-w", "-t", str(WAIT), "start")

    def crash(self):  # as on a power loss: no checkpoint, recovery on the next start
        self._server("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "-t", str(WAIT), "stop")

    def standby(self):
        """A second cluster streaming from this one, a synchronous standby: a commit here returns once it has
        the commit's WAL on its disk."""
        standby = Cluster()
        self._server("pg_basebackup", "-D", standby.data, "-R", "-X", "stream", "-c", "fast", "-h", self.folder,
                     "-p", str(self.port), "-U", USER)
        standby._configure(port=standby.port, unix_socket_directories=standby.folder, cluster_name="standby")
        standby.start()
        self.sql("ALTER SYSTEM SET synchronous_standby_names = 'standby'")
        self.sql("SELECT pg_reload_conf()")
        deadline = time.monotonic() + WAIT
        while self.sql("SELECT sync_state FROM pg_stat_replication WHERE application_name = 'standby'") != "sync":
            assert time.monotonic() < deadline, "the standby did not become synchronous"
            time.sleep(0.1)
        return standby

    def promote(self):
        self._server("pg_ctl", "-D", self.data, "-w", "-t", str(WAIT), "promote")

    def close(self):  # whether it runs or not
        stop_folder(self.folder)

    def __enter__(self):  # should init fail, the watcher removes what it made once this process ends
        return self.init()

    def __exit__(self, *_):
        self.close()


def folder_of(state):
    return re.search(r"host=(\S+)", open(state).read()).group(1)


def stop_folder(folder):
    data = os.path.join(folder, "data")
    if os.path.exists(os.path.join(data, "postmaster.pid")):
        subprocess.run(AS_SERVER_USER + [os.path.join(BIN, "pg_ctl"), "-D", data, "-m", "immediate", "-w", "-t",
                                         str(WAIT), "stop"], capture_output=True, timeout=WAIT * 2)
    shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    command, state = sys.argv[1:3]
    if command in ("start", "stop") and os.path.exists(state):  # stop; to start, a killed run's leftover goes first
        stop_folder(folder_of(state))
        os.remove(state)
    if command == "start":
        cluster = Cluster(watch=False)
        try:
            cluster.init()
        except BaseException as e:
            cluster.close()
            sys.exit(f"the cluster did not start: {e}\n{getattr(e, 'output', '')}")
        pathlib.Path(state).write_text(cluster.conninfo() + "\n")
        print(cluster.conninfo())
    elif command == "watch":  # watch PID FOLDER: until the folder is gone or the process is
        pid, folder = int(sys.argv[2]), sys.argv[3]
        while os.path.exists(folder):
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                stop_folder(folder)
                break
            time.sleep(0.5)
