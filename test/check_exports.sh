#!/usr/bin/env bash
# The shared library's dynamic symbol table must hold exactly the QL_
# functions of the header and nothing else of ours.
set -euo pipefail
lib=$1
expected="QL_CancelRequest
QL_Cleanup
QL_CreateJob
QL_DownloadFile
QL_DownloadFileEx
QL_GenerateULID
QL_GetStringByPath
QL_Initialize
QL_JobProgress
QL_ParseJSON
QL_PauseJob
QL_PullLogRecord
QL_RemoveJob
QL_RemoveRequest
QL_Request
QL_RequestData
QL_RequestDownloadProgress
QL_RequestDownloadProgress64
QL_RequestError
QL_RequestInfo
QL_SendStats
QL_VerifyFileSignature
QL_VerifyRequestSignature
QL_VerifySignature
QL_WaitJob"
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwVvDdBbRr]$/ {print $3}' | sed 's/@.*//' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "unexpected dynamic symbols in $lib:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exported symbols: $(echo "$actual" | wc -l) as expected"
