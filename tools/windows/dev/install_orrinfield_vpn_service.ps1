# Installs OrrinfieldVPNService from a build folder and starts it (development machines).
#
#   powershell -ExecutionPolicy Bypass -File install_orrinfield_vpn_service.ps1 [-BinaryPath <exe>]
#
# Must run elevated. Replaces an earlier registration of the same name. The service runs as
# LocalSystem and starts automatically with Windows.
param(
    [string]$BinaryPath = (Join-Path $PSScriptRoot 'OrrinfieldVPNService.exe')
)

$ErrorActionPreference = 'Stop'
$name = 'OrrinfieldVPNService'

$principal = New-Object Security.Principal.WindowsPrincipal(
    [Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    Write-Error 'Run this script from an elevated PowerShell (Run as administrator).'
    exit 1
}

$BinaryPath = (Resolve-Path -LiteralPath $BinaryPath).Path

$existing = Get-Service -Name $name -ErrorAction SilentlyContinue
if ($existing) {
    if ($existing.Status -ne 'Stopped') {
        Stop-Service -Name $name -Force
        $existing.WaitForStatus('Stopped', [TimeSpan]::FromSeconds(30))
    }
    & sc.exe delete $name | Out-Null
    Start-Sleep -Seconds 1
}

New-Service -Name $name `
    -BinaryPathName "`"$BinaryPath`"" `
    -DisplayName 'Orrinfield VPN Service' `
    -Description 'Privileged back end of the Orrinfield VPN client (WireGuard tunnels, OpenVPN staging, VPN activity record).' `
    -StartupType Automatic | Out-Null

Start-Service -Name $name
(Get-Service -Name $name).WaitForStatus('Running', [TimeSpan]::FromSeconds(30))
Write-Host "$name installed from $BinaryPath and running."
