// Downloads the file a JSON manifest describes, through the quillet library:
//
//   Download.exe MANIFEST_URL FOLDER
//
// The manifest is an object with the string members "url", "name" (a file
// name, no folders) and "sha256" (64 hex digits). The file goes to
// FOLDER/name.part and becomes FOLDER/name only once its SHA-256 matches; a
// run that failed leaves the .part file, and the next run asks only for the
// rest. Prints a progress line and the library's log records on standard
// error. Exits 0 on success, 1 on a failure, 2 for wrong arguments.
using System;
using System.IO;
using System.Text;
using System.Threading;
using Quillet;

public static class Download
{
    public static int Main(string[] args)
    {
        if (args.Length != 2)
        {
            Console.Error.WriteLine("usage: Download.exe MANIFEST_URL FOLDER");
            return 2;
        }
        Library.Initialize();
        try
        {
            return Run(args[0], args[1]);
        }
        finally
        {
            Library.Cleanup();
            Drain();
        }
    }

    private static int Run(string manifestUrl, string folder)
    {
        uint manifest = Library.Request(manifestUrl);
        RequestState state = Wait(manifest, null);
        byte[] body = Library.Data(manifest);
        if (state != RequestState.Done || body == null)
        {
            Console.Error.WriteLine("manifest failed: " + (Library.Error(manifest) ?? state.ToString()));
            return 1;
        }
        Library.Remove(manifest);

        uint document = Library.ParseJson(Encoding.UTF8.GetString(body));
        string url = document == 0 ? null : Library.StringByPath(document, "url");
        string name = document == 0 ? null : Library.StringByPath(document, "name");
        string sha256 = document == 0 ? null : Library.StringByPath(document, "sha256");
        // The name comes from the network: it may only name a file in FOLDER.
        if (url == null || sha256 == null || string.IsNullOrEmpty(name) || Path.GetFileName(name) != name ||
            name == "." || name == "..")
        {
            Console.Error.WriteLine("manifest: needs the string members url, name (a file name) and sha256");
            return 1;
        }
        Console.Error.WriteLine("manifest: " + name + " from " + url);

        string target = Path.Combine(folder, name);
        uint download = Library.DownloadFileEx(url, target, DownloadFlags.Resume | DownloadFlags.Atomic, sha256);
        state = Wait(download, new Progress());
        if (state != RequestState.Done)
        {
            Console.Error.WriteLine("download failed: " + Library.Error(download));
            return 1;
        }
        Console.Error.WriteLine("saved " + target);
        return 0;
    }

    // Polls a request until it ends, drawing a download's progress.
    private static RequestState Wait(uint id, Progress progress)
    {
        for (;;)
        {
            RequestState state = Library.State(id);
            long total, written;
            if (progress != null && Library.Progress(id, out total, out written) && (total >= 0 || written > 0))
            {
                progress.Show(total, written);
            }
            Drain();
            if (state != RequestState.Running)
            {
                if (progress != null) progress.Finish();
                return state;
            }
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

        public void Show(long total, long written)
        {
            string of = total < 0 ? "unknown" : total.ToString();
            string percent = total > 0 ? " (" + (written * 100 / total) + "%)" : "";
            string next = "downloaded " + written + " bytes of " + of + percent;
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
