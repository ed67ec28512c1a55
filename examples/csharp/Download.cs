// Downloads the files a manifest lists, as one job of the quillet library,
// once the manifest's signature holds:
//
//   Download.exe MANIFEST_URL FOLDER PUBKEY_FILE
//
// The publisher signs the manifest with minisign and serves the signature at
// MANIFEST_URL.minisig; PUBKEY_FILE holds the publisher's public key (or
// keys, one a line) as minisign writes it. A manifest that does not verify
// with it is refused before a byte of any file is fetched.
// The manifest is UTF-8 text, one file a line: "URL SHA256 NAME", with the
// SHA-256 as 64 hex digits and NAME a file name (no folders); blank lines and
// lines starting with '#' are skipped. Each file goes to FOLDER/NAME.part and
// becomes FOLDER/NAME only once its SHA-256 matches; a file that failed
// keeps its .part file, and the next run asks only for the rest. Prints one
// progress line for the whole job, a line for each file that failed, and the
// library's log records on standard error. Exits 0 when every file was
// saved, 1 on a failure, 2 for wrong arguments.
using System;
using System.Collections.Generic;
using System.IO;
using System.Text;
using System.Threading;
using Quillet;

public static class Download
{
    public static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.Error.WriteLine("usage: Download.exe MANIFEST_URL FOLDER PUBKEY_FILE");
            return 2;
        }
        string publicKeys;
        try
        {
            publicKeys = File.ReadAllText(args[2]);
        }
        catch (Exception error) when (error is IOException || error is UnauthorizedAccessException)
        {
            Console.Error.WriteLine("cannot read the public key: " + error.Message);
            return 2;
        }
        Library.Initialize();
        try
        {
            return Run(args[0], args[1], publicKeys);
        }
        finally
        {
            Library.Cleanup();
            Drain();
        }
    }

    private static int Run(string manifestUrl, string folder, string publicKeys)
    {
        uint signature = Library.Request(manifestUrl + ".minisig");
        uint manifest = Library.Request(manifestUrl);
        RequestState signatureState = Wait(signature);
        RequestState state = Wait(manifest);
        byte[] signatureText = Library.Data(signature);
        byte[] body = Library.Data(manifest);
        if (signatureState != RequestState.Done || signatureText == null)
        {
            Console.Error.WriteLine("manifest signature failed: " + (Library.Error(signature) ?? signatureState.ToString()));
            return 1;
        }
        if (state != RequestState.Done || body == null)
        {
            Console.Error.WriteLine("manifest failed: " + (Library.Error(manifest) ?? state.ToString()));
            return 1;
        }
        // Checked over the very bytes that arrived, before any is parsed.
        bool signed = Library.VerifyRequestSignature(manifest, Encoding.UTF8.GetString(signatureText), publicKeys);
        Drain();
        Library.Remove(signature);
        Library.Remove(manifest);
        if (!signed)
        {
            Console.Error.WriteLine("manifest refused: it is not signed by the publisher's key");
            return 1;
        }

        var files = new List<string[]>();  // URL, SHA256, NAME
        var names = new HashSet<string>(StringComparer.OrdinalIgnoreCase);
        string[] lines = Encoding.UTF8.GetString(body).Split('\n');
        for (int i = 0; i < lines.Length; ++i)
        {
            string line = lines[i].Trim();
            if (line.Length == 0 || line.StartsWith("#")) continue;
            string[] fields = line.Split(new[] { ' ', '\t' }, 3, StringSplitOptions.RemoveEmptyEntries);
            string name = fields.Length == 3 ? fields[2].Trim() : null;
            // The name comes from the network: it may only name a file in
            // FOLDER, and only once, as two downloads into one file would
            // spoil each other.
            if (string.IsNullOrEmpty(name) || Path.GetFileName(name) != name || name == "." || name == ".." ||
                !names.Add(name))
            {
                Console.Error.WriteLine("manifest line " + (i + 1) + ": needs URL SHA256 NAME, a file name of its own");
                return 1;
            }
            files.Add(new[] { fields[0], fields[1], name });
            Console.Error.WriteLine("manifest: " + name + " from " + fields[0]);
        }
        if (files.Count == 0)
        {
            Console.Error.WriteLine("manifest: lists no file");
            return 1;
        }

        using (var job = new DownloadJob())
        {
            var ids = new uint[files.Count];
            for (int i = 0; i < files.Count; ++i)
            {
                ids[i] = job.Add(files[i][0], Path.Combine(folder, files[i][2]), files[i][1]);
            }
            var progress = new Progress();
            bool ended;
            do
            {
                ended = job.Wait(TimeSpan.FromMilliseconds(100));
                progress.Show(job.Progress);
                Drain();
            } while (!ended);
            progress.Finish();

            // Read before the job goes: its files' requests go with it.
            int failed = 0;
            for (int i = 0; i < files.Count; ++i)
            {
                if (Library.State(ids[i]) == RequestState.Done) continue;
                Console.Error.WriteLine("download failed: " + files[i][2] + ": " + Library.Error(ids[i]));
                ++failed;
            }
            if (failed > 0) return 1;
        }
        Console.Error.WriteLine("saved " + files.Count + " files in " + folder);
        return 0;
    }

    // Polls a request until it ends.
    private static RequestState Wait(uint id)
    {
        for (;;)
        {
            RequestState state = Library.State(id);
            Drain();
            if (state != RequestState.Running) return state;
            Thread.Sleep(100);
        }
    }

    private static void Drain()
    {
        foreach (string record in Library.PullLogRecords()) Console.Error.WriteLine("log: " + record);
    }

    // One line: redrawn in place on a terminal, else printed when it changes,
    // at most once a second.
    private sealed class Progress
    {
        private string line;
        private string printed;
        private DateTime shown = DateTime.MinValue;

        public void Show(JobProgress job)
        {
            string of = job.BytesTotal < 0 ? "unknown" : job.BytesTotal.ToString();
            string percent = job.BytesTotal > 0 ? " (" + (job.BytesWritten * 100 / job.BytesTotal) + "%)" : "";
            string failed = job.FilesFailed > 0 ? ", " + job.FilesFailed + " failed" : "";
            string next = "downloaded " + job.BytesWritten + " bytes of " + of + percent + ", " + job.FilesDone +
                          " of " + job.Files + " files" + failed;
            if (next == line) return;
            line = next;
            if (!Console.IsErrorRedirected)
            {
                Console.Error.Write("\r" + line);
            }
            else if (DateTime.UtcNow - shown >= TimeSpan.FromSeconds(1))
            {
                Console.Error.WriteLine(line);
                printed = line;
                shown = DateTime.UtcNow;
            }
        }

        public void Finish()
        {
            if (!Console.IsErrorRedirected)
            {
                if (line != null) Console.Error.WriteLine();
            }
            else if (line != printed)
            {
                Console.Error.WriteLine(line);
            }
        }
    }
}
